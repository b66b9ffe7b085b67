// ask_peer <process name | pid> <channel> <question>: asks a process of the suite one question over
// its pipe, as the program does, and prints the answer (UTF-8) on one line. For the tests of the
// suite's Linux menu and monitor, which also run it as another user.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/commp.h"
#include "text/text.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: ask_peer <process name | pid> <channel> <question>\n", stderr);
        return 2;
    }
    const std::string who = argv[1];
    const std::u16string channel = text::from_utf8(argv[2]), question = text::from_utf8(argv[3]);
    class_commp commp(2000, 2000);
    std::u16string answer;
    if (who.find_first_not_of("0123456789") == std::string::npos)
        answer = commp.AskText(uint32_t(std::strtoul(who.c_str(), nullptr, 10)), question, channel, 120000);
    else
        answer = commp.AskProcess(text::from_utf8(who), question, channel, 120000);
    std::printf("%s\n", text::to_utf8(answer).c_str());
    return 0;
}
