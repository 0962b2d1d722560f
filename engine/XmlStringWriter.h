// Collects what pugixml writes, so that a document can be written to disk in
// one atomic step (or compared byte for byte).
#pragma once

#include <pugixml.hpp>

#include <string>

class TXmlStringWriter : public pugi::xml_writer {
public:
    std::string Data;
    void write(const void* Bytes, size_t Size) override
    {
        Data.append(static_cast<const char*>(Bytes), Size);
    }
};
