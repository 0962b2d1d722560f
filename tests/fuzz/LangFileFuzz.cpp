// Any bytes as a language file: the normalisation it is read through, the
// translation of every key it lists, and the form keys applied to a stand-in
// form whose objects check that each property is set on the object its path
// names.
#include "settings/LangChanger.h"
#include "tests/fuzz/FuzzFiles.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

// An object of a form: components "c1" and "c2" at the top, object
// properties "Font" and "Items" at every level, and one property of each
// kind. Path is how the object was reached ("" for the form itself).
class TStandIn : public TPropertyObject {
public:
    explicit TStandIn(std::string APath, int ADepth = 0) : Path(std::move(APath)), Depth(ADepth) {}

    std::string ClassName() const override { return "TdlgFind"; }
    std::unique_ptr<TPropertyObject> FindComponent(const std::string& Name) override
    {
        Check(Depth == 0);
        if (Name == "c1" || Name == "c2") {
            return std::make_unique<TStandIn>(Name, 1);
        }
        return nullptr;
    }
    std::unique_ptr<TPropertyObject> ObjectProperty(const std::string& Name) override
    {
        if ((Name == "Font" || Name == "Items") && Depth < 8) {
            return std::make_unique<TStandIn>(Path.empty() ? Name : Path + "." + Name, Depth + 1);
        }
        return nullptr;
    }
    TPropertyKind PropertyKind(const std::string& Name) override
    {
        if (Name == "Caption") {
            return TPropertyKind::String;
        }
        if (Name == "Tag") {
            return TPropertyKind::Integer;
        }
        if (Name == "Size") {
            return TPropertyKind::Int64;
        }
        if (Name == "Scale") {
            return TPropertyKind::Float;
        }
        if (Name == "Lines") {
            return TPropertyKind::StringList;
        }
        if (Name == "Color") {
            return TPropertyKind::Other;
        }
        return TPropertyKind::None;
    }
    void SetInteger(const std::string& Name, std::int64_t Value) override
    {
        Reached(Name, "Tag", "Size");
        if (Name == "Tag") {
            Check(Value >= std::numeric_limits<std::int32_t>::min() &&
                  Value <= std::numeric_limits<std::int32_t>::max());
        }
    }
    void SetFloat(const std::string& Name, double) override { Reached(Name, "Scale"); }
    void SetString(const std::string& Name, const std::string& Value) override
    {
        Reached(Name, "Caption");
        Check(Value == Expected);
    }
    void SetStringList(const std::string& Name, const std::vector<std::string>&) override
    {
        Reached(Name, "Lines");
    }

    static inline std::string Target; // the path being set
    static inline std::string Expected;

private:
    void Reached(const std::string& Name, const char* Kind, const char* Other = "")
    {
        Check(Name == Kind || Name == Other);
        Check((Path.empty() ? Name : Path + "." + Name) == Target);
    }

    std::string Path;
    int Depth;
};

// Normalised text is made of lines that each end in CR LF; a line without
// "=" is empty or a section header (as the line was, without its blanks).
void CheckNormalised(const std::string& Text)
{
    std::string_view Rest(Text);
    if (Rest.starts_with("\xEF\xBB\xBF")) {
        Rest.remove_prefix(3);
    }
    while (!Rest.empty()) {
        const size_t End = Rest.find("\r\n");
        Check(End != std::string_view::npos);
        const std::string_view Line = Rest.substr(0, End);
        Check(Line.find('\r') == std::string_view::npos &&
              Line.find('\n') == std::string_view::npos);
        Rest.remove_prefix(End + 2);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string Bytes(reinterpret_cast<const char*>(Data), Size);
    const std::string Normal = NormaliseLanguageText(Bytes);
    CheckNormalised(Normal);
    // Normalising twice changes nothing.
    Check(NormaliseLanguageText(Normal) == Normal);

    const std::string File = fuzzfiles::PathOf("language.lng");
    fuzzfiles::Write(File, Bytes);
    TLangChanger Lang;
    Lang.SetLangFile(File);
    std::vector<std::string> Keys;
    Lang.ReadSectionKeys("Translations", Keys);
    size_t Done = 0;
    for (const std::string& Key : Keys) {
        if (++Done > 64) {
            break;
        }
        const std::string Text = Lang.TranslateString(Key);
        Check(Text.find("{ENTER}") == std::string::npos);
        // A form key: "dlgFind." and a path below the form.
        if (Key.starts_with("dlgFind.")) {
            TStandIn Form("");
            TStandIn::Target = Key.substr(8);
            TStandIn::Expected = Text;
            Lang.SetPropertyByPath(Form, TStandIn::Target, Text);
        }
    }
    return 0;
}
