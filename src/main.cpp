#include "app/CommandLine.h"
#include "cli/CommandService.h"
#include "ui/QuorvantisApp.h"

int main(int argc, char *argv[])
{
    // Answered before any window system is touched, so they work without a display.
    const CommandLine::BeforeStart line = CommandLine::readBeforeStart(argc, argv);
    if (line.exitCode)
        return *line.exitCode;
    if (line.request)
        return CommandLineFace::run(argc, argv, *line.request);
    return QuorvantisApp::run(argc, argv);
}
