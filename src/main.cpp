#include "ui/QuorvantisApp.h"

int main(int argc, char *argv[])
{
    return QuorvantisApp::run(argc, argv);
}
