package demo;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

// The demo's stand-in for the updater program: shows what the launcher handed over
// (its arguments and the launch properties file named by the first one).
public final class Updater {
  public static void main(String[] args) throws Exception {
    System.out.println("[Demo updater] Started by the launcher with " + args.length + " arguments:");
    for (int i = 0; i < args.length; i++) {
      System.out.println("[Demo updater]   arg " + i + ": " + args[i]);
    }
    if (args.length > 0) {
      byte[] bytes = Files.readAllBytes(Paths.get(args[0]));
      List<String> entries = new ArrayList<>();
      int from = 0;
      for (int i = 0; i <= bytes.length; i++) {
        if (i == bytes.length || bytes[i] == 0) {
          String entry = new String(bytes, from, i - from, StandardCharsets.ISO_8859_1);
          entries.add(entry.equals("\u0004") ? "" : entry);
          from = i + 1;
        }
      }
      System.out.println("[Demo updater] Launch properties:");
      for (int i = 0; i + 1 < entries.size(); i += 2) {
        String value = entries.get(i + 1);
        if (value.length() > 60) value = value.substring(0, 57) + "...";
        System.out.println("[Demo updater]   " + entries.get(i) + " = " + value);
      }
    }
    String done = System.getenv("HV_DEMO_DONE");
    if (done != null) Files.write(Path.of(done), new byte[0]);
  }
}
