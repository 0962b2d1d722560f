#include "tools/CrashSettingsText.h"

#include "crashlib/kelStrings.h"
#include "crashreport/kelExceptStream.h"

#include <optional>

namespace {

using namespace crashtext;

// Passwords are their own kind in the text only; the stream keeps them as texts.
enum class TTextKind { tkText, tkInt, tkBool, tkPassword };

std::optional<TTextKind> KindNamed(std::string_view S)
{
    if (SameSettingName(S, "text"))
        return TTextKind::tkText;
    if (SameSettingName(S, "int"))
        return TTextKind::tkInt;
    if (SameSettingName(S, "bool"))
        return TTextKind::tkBool;
    if (SameSettingName(S, "password"))
        return TTextKind::tkPassword;
    return std::nullopt;
}

TSettingKind StoredKind(TTextKind K)
{
    return K == TTextKind::tkInt ? skInt : K == TTextKind::tkBool ? skBool : skText;
}

const char* KindWord(TSettingKind K)
{
    return K == skInt ? "int" : K == skBool ? "bool" : "text";
}

const TSettingEntry* FindEntry(const std::vector<TSettingEntry>& Entries, std::string_view Name)
{
    for (const auto& E : Entries)
        if (SameSettingName(E.Name, Name))
            return &E;
    return nullptr;
}

std::string TextOf(const std::vector<TSettingEntry>& Entries, std::string_view Name)
{
    const TSettingEntry* E = FindEntry(Entries, Name);
    return E != nullptr && E->Kind == skText ? E->Text : std::string();
}

} // namespace

std::vector<TSettingEntry> ParseSettingsText(std::string_view Text, std::string_view FileName)
{
    const std::string File(FileName);
    std::vector<TSettingEntry> Entries;
    std::vector<int> Lines;       // the line of each entry
    std::vector<bool> IsPassword; // given as ":password"
    ForEachTextLine(Text, File, [&](int LineNo, std::string_view Line) {
        auto Fail = [&](const std::string& Message) {
            throw ESettingsTextError(File, LineNo, Message);
        };
        const auto Split = SplitKeyLine(Line);
        if (!Split)
            Fail("expected \"Key = value\"");
        std::string_view Key = Split->Key;
        const std::string_view Value = Split->Value;
        std::optional<TTextKind> Given;
        if (Split->HasKind) {
            Given = KindNamed(Split->Kind);
            if (!Given)
                Fail("unknown kind \"" + std::string(Split->Kind) +
                     "\" (text, int, bool or password)");
        }
        if (!IsKeyName(Key))
            Fail("\"" + std::string(Key) + "\" is no key name (letters, digits and \"_\")");
        const TSettingDefault* D = FindSettingDefault(Key);
        const TPasswordKey* P = FindPasswordKey(Key);
        if (Given == TTextKind::tkPassword && P == nullptr)
            Fail("only SmtpPassword, HttpPassword and BugTrPassword hold passwords");
        if (P != nullptr && Given != TTextKind::tkPassword && !Value.empty())
            Fail(std::string(P->Password) + " holds a password: write " + std::string(P->Password) +
                 ":password = ...");
        if (D == nullptr && !Given)
            Fail("\"" + std::string(Key) + "\" has no default; say its kind: " + std::string(Key) +
                 ":text, :int or :bool");
        const TSettingKind Kind = Given ? StoredKind(*Given) : D->Kind;
        if (D != nullptr && D->Kind != Kind)
            Fail(std::string(D->Name) + " is a " + KindWord(D->Kind) + " setting, not " +
                 KindWord(Kind));
        if (const TSettingEntry* Old = FindEntry(Entries, Key))
            Fail(Old->Name + " is set twice (first on line " +
                 std::to_string(Lines[static_cast<std::size_t>(Old - Entries.data())]) + ")");

        TSettingEntry E;
        E.Name = D != nullptr ? std::string(D->Name) : std::string(Key);
        E.Kind = Kind;
        if (Kind == skBool) {
            const auto B = ParseBool(Value);
            if (!B)
                Fail("\"" + std::string(Value) + "\" is no boolean (true or false)");
            E.Bool = *B;
        } else if (Kind == skInt) {
            const auto I = ParseInt(Value);
            if (!I)
                Fail("\"" + std::string(Value) + "\" is no 32-bit decimal integer");
            E.Int = *I;
        } else {
            E.Text = LineBreaksIn(Value);
        }
        Entries.push_back(std::move(E));
        Lines.push_back(LineNo);
        IsPassword.push_back(Given == TTextKind::tkPassword);
    });
    // The key material may stand anywhere in the file.
    for (std::size_t I = 0; I < Entries.size(); ++I) {
        if (!IsPassword[I] || Entries[I].Text.empty())
            continue;
        const TPasswordKey* P = FindPasswordKey(Entries[I].Name);
        Entries[I].Text = EncipherPassword(Entries[I].Text, TextOf(Entries, P->Server),
                                           TextOf(Entries, P->Account));
    }
    return Entries;
}

TSettingsTextDecoded SettingsStreamToText(std::string_view Stream)
{
    TSettingsTextDecoded Out;
    const TSettingsStreamContents C = ReadSettingsStream(Stream);
    if (!C.HeadFound) {
        Out.Problem = "not a settings stream (it does not begin with the settings head)";
        return Out;
    }
    for (const auto& E : C.Entries) {
        if (!IsKeyName(E.Name)) {
            Out.Problem = "a setting whose name is no key name";
            continue;
        }
        const TSettingDefault* D = FindSettingDefault(E.Name);
        const TPasswordKey* P = E.Kind == skText ? FindPasswordKey(E.Name) : nullptr;
        std::string Line = E.Name;
        std::string Value;
        if (P != nullptr && !E.Text.empty()) {
            const auto Plain = DecipherPassword(E.Text, TextOf(C.Entries, P->Server),
                                                TextOf(C.Entries, P->Account));
            if (!Plain) {
                Out.Text += "# " + E.Name + " does not decipher with its server and account\n";
                Out.Problem = E.Name + " does not decipher with its server and account";
                continue;
            }
            Line += ":password";
            Value = LineBreaksOut(*Plain);
        } else {
            if (D == nullptr || D->Kind != E.Kind)
                Line += std::string(":") + KindWord(E.Kind);
            Value = E.Kind == skBool  ? (E.Bool ? "true" : "false")
                    : E.Kind == skInt ? std::to_string(E.Int)
                                      : LineBreaksOut(E.Text);
        }
        Out.Text += Line + " = " + Value + "\n";
    }
    if (C.Stop == TStreamStatus::ssUnknownTag)
        Out.Problem =
            "unknown value tag $" + CardToHexA(C.BadTag) + " after the last setting shown";
    else if (C.Stop == TStreamStatus::ssTruncated)
        Out.Problem = "the stream ends inside the setting after the last one shown";
    return Out;
}
