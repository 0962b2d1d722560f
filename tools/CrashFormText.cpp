#include "tools/CrashFormText.h"

#include <optional>

namespace {

using namespace crashtext;

struct TKnownProperty {
    std::string_view Name;
    TStreamValueKind Kind;
};

constexpr TKnownProperty KnownProperties[] = {
    {"Spacing", TStreamValueKind::svInt},     {"MinWidth", TStreamValueKind::svInt},
    {"Lines", TStreamValueKind::svInt},       {"Width", TStreamValueKind::svInt},
    {"Height", TStreamValueKind::svInt},      {"Timer", TStreamValueKind::svInt},
    {"Enabled", TStreamValueKind::svBool},    {"NoOwnerDraw", TStreamValueKind::svBool},
    {"Visible", TStreamValueKind::svBool},    {"Optional", TStreamValueKind::svBool},
    {"Colored", TStreamValueKind::svBool},    {"Valid", TStreamValueKind::svBool},
    {"Checked", TStreamValueKind::svBool},    {"Clickable", TStreamValueKind::svBool},
    {"Border", TStreamValueKind::svBool},     {"OutputType", TStreamValueKind::svText},
    {"OutputName", TStreamValueKind::svText}, {"Caption", TStreamValueKind::svText},
    {"Text", TStreamValueKind::svText},       {"File", TStreamValueKind::svText},
    {"Message", TStreamValueKind::svText},    {"ActiveControl", TStreamValueKind::svText},
    {"OnAction", TStreamValueKind::svText},
};

std::optional<TStreamValueKind> KnownKind(std::string_view Name)
{
    for (const auto& P : KnownProperties)
        if (SameAsciiText(P.Name, Name))
            return P.Kind;
    return std::nullopt;
}

std::optional<TStreamValueKind> KindNamed(std::string_view Word)
{
    if (SameAsciiText(Word, "text"))
        return TStreamValueKind::svText;
    if (SameAsciiText(Word, "int"))
        return TStreamValueKind::svInt;
    if (SameAsciiText(Word, "bool"))
        return TStreamValueKind::svBool;
    return std::nullopt;
}

const char* KindWord(TStreamValueKind K)
{
    return K == TStreamValueKind::svInt ? "int" : K == TStreamValueKind::svBool ? "bool" : "text";
}

std::string Indent(int Depth)
{
    return std::string(static_cast<std::size_t>(2 * Depth), ' ');
}

} // namespace

std::vector<TFormStreamObject> ParseFormText(std::string_view Text, std::string_view FileName)
{
    const std::string File(FileName);
    std::vector<TFormStreamObject> Objects;
    std::vector<std::size_t> Open; // the objects not ended yet, innermost last
    std::vector<int> OpenLines;    // the line of each
    std::vector<bool> HasChildren; // per object
    bool FormEnded = false;
    ForEachTextLine(Text, File, [&](int LineNo, std::string_view Line) {
        auto Fail = [&](const std::string& Message) {
            throw ECrashTextError(File, LineNo, Message);
        };
        if (const auto Split = SplitKeyLine(Line)) {
            if (Open.empty())
                Fail("a property outside any object");
            TFormStreamObject& O = Objects[Open.back()];
            if (HasChildren[Open.back()])
                Fail("the properties of " + O.ObjectName + " come before its child objects");
            if (!IsKeyName(Split->Key))
                Fail("\"" + std::string(Split->Key) +
                     "\" is no property name (letters, digits and \"_\")");
            std::optional<TStreamValueKind> Kind = KnownKind(Split->Key);
            if (Split->HasKind) {
                Kind = KindNamed(Split->Kind);
                if (!Kind)
                    Fail("unknown kind \"" + std::string(Split->Kind) + "\" (text, int or bool)");
            } else if (!Kind) {
                Fail("\"" + std::string(Split->Key) +
                     "\" is not a property of the forms; say its kind: " + std::string(Split->Key) +
                     ":text, :int or :bool");
            }
            TStreamProperty P;
            P.Name = Split->Key;
            P.Value.Kind = *Kind;
            if (*Kind == TStreamValueKind::svBool) {
                const auto B = ParseBool(Split->Value);
                if (!B)
                    Fail("\"" + std::string(Split->Value) + "\" is no boolean (true or false)");
                P.Value.Bool = *B;
                P.Value.Tag = *B ? stTrue : stFalse;
            } else if (*Kind == TStreamValueKind::svInt) {
                const auto I = ParseInt(Split->Value);
                if (!I)
                    Fail("\"" + std::string(Split->Value) + "\" is no 32-bit decimal integer");
                P.Value.Int = *I;
            } else {
                P.Value.Text = LineBreaksIn(Split->Value);
                P.Value.Tag = stUtf8String;
            }
            O.Properties.push_back(std::move(P));
            return;
        }
        if (Line == "end") {
            if (Open.empty())
                Fail("\"end\" without an object to end");
            Open.pop_back();
            OpenLines.pop_back();
            FormEnded = Open.empty();
            return;
        }
        if (Line.substr(0, 6) != "object" || Line.size() < 7 || (Line[6] != ' ' && Line[6] != '\t'))
            Fail("expected \"object Name: Class\", \"Property = value\" or \"end\"");
        if (FormEnded)
            Fail("a second form: a form text holds one form object");
        if (Open.size() > static_cast<std::size_t>(MaxFormDepth))
            Fail("objects nest deeper than " + std::to_string(MaxFormDepth));
        if (Objects.size() >= static_cast<std::size_t>(MaxFormObjects))
            Fail("a form holds at most " + std::to_string(MaxFormObjects) + " objects");
        const std::string_view Head = TrimBlanks(Line.substr(7));
        const auto Colon = Head.find(':');
        if (Colon == std::string_view::npos)
            Fail("expected \"object Name: Class\"");
        const std::string_view Name = TrimBlanks(Head.substr(0, Colon));
        const std::string_view Class = TrimBlanks(Head.substr(Colon + 1));
        if (!Name.empty() && !IsKeyName(Name))
            Fail("\"" + std::string(Name) + "\" is no object name (letters, digits and \"_\")");
        if (!IsKeyName(Class))
            Fail("\"" + std::string(Class) + "\" is no class name (letters, digits and \"_\")");
        if (!Open.empty())
            HasChildren[Open.back()] = true;
        TFormStreamObject O;
        O.Depth = static_cast<int>(Open.size());
        O.ClassName = Class;
        O.ObjectName = Name;
        Open.push_back(Objects.size());
        OpenLines.push_back(LineNo);
        Objects.push_back(std::move(O));
        HasChildren.push_back(false);
    });
    if (!Open.empty())
        throw ECrashTextError(File, OpenLines.back(),
                              "object " + Objects[Open.back()].ObjectName +
                                  " is not ended by \"end\"");
    if (Objects.empty())
        throw ECrashTextError(File, 1, "no form object (\"object Name: Class\")");
    return Objects;
}

TFormTextDecoded FormStreamToText(std::string_view Stream)
{
    TFormTextDecoded Out;
    const TFormStreamObjects Read = ReadFormObjects(Stream);
    if (Read.Stop == TFormStreamStop::fsNoSignature) {
        Out.Problem = "not a form stream (it does not begin with \"TPF0\")";
        return Out;
    }
    int Open = 0; // objects not ended yet
    for (const TFormStreamObject& O : Read.Objects) {
        for (; Open > O.Depth; --Open)
            Out.Text += Indent(Open - 1) + "end\n";
        if ((!O.ObjectName.empty() && !IsKeyName(O.ObjectName)) || !IsKeyName(O.ClassName))
            Out.Problem = "an object whose name or class name is no name";
        Out.Text += Indent(O.Depth) + "object " + O.ObjectName + ": " + O.ClassName + "\n";
        ++Open;
        for (const TStreamProperty& P : O.Properties) {
            if (!IsKeyName(P.Name)) {
                Out.Problem = "a property of " + O.ObjectName + " whose name is no name";
                continue;
            }
            std::string Value;
            switch (P.Value.Kind) {
            case TStreamValueKind::svInt:
                Value = std::to_string(P.Value.Int);
                break;
            case TStreamValueKind::svBool:
                Value = P.Value.Bool ? "true" : "false";
                break;
            case TStreamValueKind::svText:
                Value = LineBreaksOut(P.Value.Text);
                if (TrimBlanks(Value) != Value)
                    Out.Problem = "the value of " + P.Name + " in " + O.ObjectName +
                                  " has blanks at its ends, which the text cannot keep";
                break;
            }
            const bool KindShown = KnownKind(P.Name) != P.Value.Kind;
            Out.Text += Indent(O.Depth + 1) + P.Name +
                        (KindShown ? std::string(":") + KindWord(P.Value.Kind) : "") + " = " +
                        Value + "\n";
        }
    }
    for (; Open > 0; --Open)
        Out.Text += Indent(Open - 1) + "end\n";
    if (Read.Stop != TFormStreamStop::fsEnd)
        Out.Problem = FormStreamProblem(Read) + " (after the last property shown)";
    return Out;
}
