package hvfixture;

import java.io.ByteArrayOutputStream;
import java.lang.management.ManagementFactory;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Writes what a run of the updater stand-in received: its main class, working folder,
 * JVM options, arguments and the launch properties file (the first argument) decoded
 * into entries. One record a line, every byte outside '!'..'~' and '%' itself written
 * as %HH, so the launcher's raw bytes come back unchanged. The file appears whole: it
 * is written beside its name and renamed into place.
 */
final class ResultFile {
  private static final byte SEPARATOR = 0x00;
  private static final byte EMPTY_VALUE = 0x04;

  private final ByteArrayOutputStream out = new ByteArrayOutputStream();

  private ResultFile() {}

  static void writeIfAsked(String environmentName, String mainClass, String[] args)
      throws Exception {
    String target = System.getenv(environmentName);
    if (target == null || target.isEmpty()) return;
    ResultFile result = new ResultFile();
    result.record("class", mainClass.getBytes(StandardCharsets.UTF_8));
    result.record("cwd", argumentBytes(System.getProperty("user.dir")));
    for (String option : ManagementFactory.getRuntimeMXBean().getInputArguments()) {
      result.record("jvmarg", argumentBytes(option));
    }
    for (String arg : args) result.record("arg", argumentBytes(arg));
    if (args.length == 0) {
      result.record("properties", bytes("none"));
    } else {
      result.decodeProperties(Paths.get(args[0]));
    }
    Path path = Paths.get(target);
    Path partial = Paths.get(target + ".partial");
    Files.write(partial, result.out.toByteArray());
    Files.move(partial, path, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
  }

  // The JVM decoded the command line with this charset; encoding back gives its bytes.
  private static byte[] argumentBytes(String text) {
    String name = System.getProperty("sun.jnu.encoding");
    Charset charset = name != null && Charset.isSupported(name) ? Charset.forName(name)
                                                                 : Charset.defaultCharset();
    return text.getBytes(charset);
  }

  private static byte[] bytes(String text) {
    return text.getBytes(StandardCharsets.US_ASCII);
  }

  // Entries are separated by one 0x00; the file has no terminator, so an empty entry
  // (two 0x00 in a row, or one at either end) means the writer broke the layout.
  private void decodeProperties(Path file) {
    byte[] data;
    try {
      data = Files.readAllBytes(file);
    } catch (Exception e) {
      record("properties", bytes("unreadable"));
      return;
    }
    List<byte[]> entries = new ArrayList<>();
    String problem = null;
    if (data.length > 0) {
      int start = 0;
      for (int i = 0; i <= data.length; i++) {
        if (i < data.length && data[i] != SEPARATOR) continue;
        if (i == start && problem == null) problem = "empty entry " + entries.size();
        byte[] entry = Arrays.copyOfRange(data, start, i);
        if (entry.length == 1 && entry[0] == EMPTY_VALUE) entry = new byte[0];
        entries.add(entry);
        start = i + 1;
      }
    }
    if (problem == null && entries.size() % 2 != 0) {
      problem = "odd entry count " + entries.size();
    }
    record("properties", bytes(problem == null ? "ok" : "malformed " + problem));
    for (byte[] entry : entries) record("entry", entry);
  }

  private void record(String kind, byte[] value) {
    byte[] head = bytes(kind + " ");
    out.write(head, 0, head.length);
    for (byte b : value) {
      int v = b & 0xff;
      if (v > 0x20 && v < 0x7f && v != '%') {
        out.write(v);
      } else {
        byte[] escaped = bytes(String.format("%%%02X", v));
        out.write(escaped, 0, escaped.length);
      }
    }
    out.write('\n');
  }
}
