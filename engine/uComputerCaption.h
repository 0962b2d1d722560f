// How the result list names a computer: from its name and IP address in one
// of four styles (the option ComputerCaptionStyle).
#pragma once

#include <cstdint>
#include <string>

enum TComputerCaptionStyle : uint8_t {
    ccsNameIP = 0, // "name (IP)" as the language text sComputerCaptionStyle lays it out
    ccsIPName = 1, // the same with the two values swapped
    ccsName = 2,
    ccsIP = 3,
};

// The caption of a computer. With an empty IP: the name. With a name that is
// empty or equal to the IP: the name when it is set, else the IP. Otherwise by
// style: ccsNameIP and ccsIPName format sComputerCaptionStyle (two "%s") with
// both values in that order, ccsName gives the name, ccsIP the IP, and any
// other style value the name.
std::string GetComputerCaption(const std::string& Name, const std::string& IP,
                               TComputerCaptionStyle Style);

// The caption up to its first blank, trimmed; the whole caption when it has
// no blank.
std::string GetCaptionFirstWord(const std::string& Caption);
