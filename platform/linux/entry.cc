// The program's entry point on POSIX: runs the application object.
#include "platform/app_base.h"

int main() { return vorn::platform::RunApplication(); }
