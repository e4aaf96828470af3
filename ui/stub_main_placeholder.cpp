// Stands in for the user interface until ui/startup.cpp provides stub_main (the build leaves
// this file out as soon as that one exists).
#include "ui/ui.h"

int stub_main() { return 0; }
