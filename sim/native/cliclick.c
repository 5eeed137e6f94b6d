/*
 * Sandbox stand-in for cliclick, a native program as the real one is. Under
 * QUORVANTIS_ACCESSIBILITY_CHECK_ONLY=1 it only answers the accessibility question: silent exit 0
 * when cliclick holds the grant (the flag file $HOME/.sandbox/grants/accessibility.cliclick), a
 * message on standard error and exit 1 when not. The sandbox setting "cliclickOutput", which the
 * services mirror into $HOME/.sandbox/cliclick-output, makes it print that warning on standard
 * output instead (an unsupported build). Every start is recorded.
 */
#include "standin-record.h"

int main(int argc, char **argv)
{
    const char *home = getenv("HOME");
    if (!home)
        home = "";
    standin_record(home, "cliclick", "");

    const char *checkOnly = getenv("QUORVANTIS_ACCESSIBILITY_CHECK_ONLY");
    const bool granted = standin_granted(home, "accessibility.cliclick");
    if (checkOnly && strcmp(checkOnly, "1") == 0) {
        char path[4096];
        snprintf(path, sizeof path, "%s/.sandbox/cliclick-output", home);
        size_t length;
        char *warning = read_whole(path, &length);
        if (warning && length > 0) {
            fwrite(warning, 1, length, stdout);
            fputc('\n', stdout);
            free(warning);
            return 0;
        }
        free(warning);
        if (granted)
            return 0;
        const char *prompt = getenv("QUORVANTIS_ACCESSIBILITY_PROMPT");
        if (prompt && strcmp(prompt, "1") == 0)
            fputs("Requesting accessibility access for cliclick.\n", stderr);
        fputs("Accessibility privileges not enabled for cliclick.\n", stderr);
        return 1;
    }

    if (argc > 1 && strcmp(argv[1], "-V") == 0) {
        fputs("cliclick 5.1 (sandbox)\n", stdout);
        return 0;
    }
    if (!granted) {
        fputs("Accessibility privileges not enabled for cliclick.\n", stderr);
        return 1;
    }
    /* Commands are accepted and ignored: there is no screen to click on in the sandbox. */
    return 0;
}
