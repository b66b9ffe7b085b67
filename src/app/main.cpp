// zelmarusb: the entry of the program. The host's start-up takes the command line from here.
#include <string>

#include "text/text.h"

#ifdef _WIN32
int wmain(int, wchar_t**)
#else
int main(int, char**)
#endif
{
    // The host's modes are dispatched here once the host layer provides its entry.
    return 0;
}
