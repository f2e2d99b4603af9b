#include "app/run.h"

// Arguments are deliberately ignored.
int main() { return run_installer(); }
