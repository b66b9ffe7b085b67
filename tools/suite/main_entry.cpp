// The entry of each stand-in: collects the arguments as UTF-16 and runs suite_main.
#include "suite_common.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
{
    suite::Args args;
    for (int i = 1; i < argc; ++i) {
        std::u16string a;
        for (const wchar_t* p = argv[i]; *p; ++p) a.push_back(char16_t(*p));
        args.items.push_back(a);
    }
    return suite_main(args);
}
#else
int main(int argc, char** argv)
{
    suite::Args args;
    for (int i = 1; i < argc; ++i) args.items.push_back(text::from_utf8(argv[i]));
    return suite_main(args);
}
#endif
