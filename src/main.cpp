#include "app/CommandLine.h"
#include "ui/QuorvantisApp.h"

int main(int argc, char *argv[])
{
    // Answered before any window system is touched, so they work without a display.
    if (const auto answered = CommandLine::answerBeforeStart(argc, argv))
        return *answered;
    return QuorvantisApp::run(argc, argv);
}
