#include "LatchwiseVersion.h"
#include "Termsim.h"

#include <iostream>
#include <stdexcept>

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "termsim " << kLatchwiseVersion << "\n";
        return 0;
    }
    TermsimOptions options;
    try {
        options = parseTermsimOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::cerr << "termsim: " << e.what() << "\n" << termsimUsage();
        return 2;
    }
    if (options.help) {
        std::cout << termsimUsage();
        return 0;
    }
    return runTermsim(options, std::cout, std::cerr);
}
