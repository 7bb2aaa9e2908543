#pragma once

#include "TermsimProcess.h"

#include <optional>
#include <string>
#include <vector>

// A simulator on `address` with its files in a fresh temporary directory.
inline TermsimProcess::Options simAt(std::string address, std::optional<std::int32_t> key = std::nullopt,
    std::vector<std::string> fails = {}, std::optional<int> restartMs = std::nullopt)
{
    TermsimProcess::Options options;
    options.address = std::move(address);
    options.key = key;
    options.fails = std::move(fails);
    options.restartMs = restartMs;
    return options;
}
