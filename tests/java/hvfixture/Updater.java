package hvfixture;

/** The normal main class: records its start in the file named by HV_UPDATER_RESULT. */
public final class Updater {
  private Updater() {}

  public static void main(String[] args) throws Exception {
    ResultFile.writeIfAsked("HV_UPDATER_RESULT", "normal", args);
  }
}
