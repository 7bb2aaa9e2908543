// termctl: one terminal operation from the command line, through the same
// control the window loads (linked directly here).
#include "LatchwiseVersion.h"
#include "NetworkTermLink.h"
#include "TermCtl.h"

#include <iostream>

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "termctl " << kLatchwiseVersion << "\n";
        return 0;
    }
    termlink::NetworkTermLink link;
    return termlink::runTermCtl(std::vector<std::string>(argv + 1, argv + argc), link, std::cout, std::cerr);
}
