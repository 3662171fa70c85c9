package hvfixture;

/**
 * The runtime compatibility main class: records its start in the file named by
 * HV_UPDATER_COMPAT_RESULT when that is set, sleeps the seconds HV_UPDATER_COMPAT_SLEEP
 * asks for (a test that hangs), then exits with 72 (compatible), or with the status
 * that HV_UPDATER_COMPAT_STATUS asks for.
 */
public final class Compatibility {
  private static final int PASS_STATUS = 72;

  private Compatibility() {}

  public static void main(String[] args) throws Exception {
    ResultFile.writeIfAsked("HV_UPDATER_COMPAT_RESULT", "compatibility", args);
    String sleep = System.getenv("HV_UPDATER_COMPAT_SLEEP");
    if (sleep != null && !sleep.isEmpty()) Thread.sleep(1000L * Integer.parseInt(sleep.trim()));
    String wanted = System.getenv("HV_UPDATER_COMPAT_STATUS");
    int status = PASS_STATUS;
    if (wanted != null && !wanted.isEmpty()) {
      try {
        status = Integer.parseInt(wanted.trim());
      } catch (NumberFormatException e) {
        System.err.println("HV_UPDATER_COMPAT_STATUS is not a number: " + wanted);
        status = 1;
      }
    }
    System.exit(status);
  }
}
