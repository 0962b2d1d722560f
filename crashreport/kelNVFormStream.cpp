#include "crashreport/kelNVFormStream.h"

#include "crashlib/kelStrings.h"

#include <algorithm>
#include <limits>

namespace {

bool ContainsAsciiText(std::string_view Text, std::string_view Part)
{
    for (std::size_t I = 0; I + Part.size() <= Text.size(); ++I)
        if (SameAsciiText(Text.substr(I, Part.size()), Part))
            return true;
    return false;
}

// Reads the properties of the object just pushed; false when the reading must
// stop (Out.Stop says why).
bool ReadProperties(TStreamReader& R, TFormStreamObjects& Out)
{
    for (;;) {
        TStreamProperty P;
        switch (R.ReadProperty(P)) {
        case TStreamStatus::ssOk:
            Out.Objects.back().Properties.push_back(std::move(P));
            continue;
        case TStreamStatus::ssEnd:
            return true;
        case TStreamStatus::ssUnknownTag:
            Out.Stop = TFormStreamStop::fsUnknownTag;
            Out.BadTag = R.LastTag();
            return false;
        case TStreamStatus::ssTruncated:
            Out.Stop = TFormStreamStop::fsTruncated;
            return false;
        }
    }
}

void WriteProperty(TStreamWriter& W, const TStreamProperty& P)
{
    switch (P.Value.Kind) {
    case TStreamValueKind::svInt:
        W.WriteInt(P.Name, P.Value.Int);
        break;
    case TStreamValueKind::svBool:
        W.WriteBool(P.Name, P.Value.Bool);
        break;
    case TStreamValueKind::svText:
        W.WriteText(P.Name, P.Value.Text);
        break;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Objects

TFormStreamObjects ReadFormObjects(std::string_view Bytes)
{
    TFormStreamObjects Out;
    TStreamReader R(Bytes);
    if (!R.ReadSignature()) {
        Out.Stop = TFormStreamStop::fsNoSignature;
        return Out;
    }
    auto Push = [&](int Depth, std::string_view ClassName, std::string_view ObjectName) {
        TFormStreamObject O;
        O.Depth = Depth;
        O.ClassName = ClassName;
        O.ObjectName = ObjectName;
        Out.Objects.push_back(std::move(O));
    };
    std::string ClassName, ObjectName;
    if (!R.ReadObjectHead(ClassName, ObjectName)) {
        Out.Stop = TFormStreamStop::fsTruncated;
        return Out;
    }
    Push(0, ClassName, ObjectName);
    if (!ReadProperties(R, Out))
        return Out;
    // The objects whose lists of children are still open; a child belongs to
    // the innermost one and has its depth.
    int Open = 1;
    while (Open > 0) {
        std::uint8_t Length;
        std::string_view ClassBytes;
        if (!R.ReadByte(Length)) {
            Out.Stop = TFormStreamStop::fsTruncated;
            return Out;
        }
        if (Length == 0) {
            --Open;
            continue;
        }
        if (Open > MaxFormDepth) {
            Out.Stop = TFormStreamStop::fsTooDeep;
            return Out;
        }
        if (Out.Objects.size() >= static_cast<std::size_t>(MaxFormObjects)) {
            Out.Stop = TFormStreamStop::fsTooManyItems;
            return Out;
        }
        if (!R.ReadBytes(Length, ClassBytes) || !R.ReadShortString(ObjectName)) {
            Out.Stop = TFormStreamStop::fsTruncated;
            return Out;
        }
        Push(Open, ClassBytes, ObjectName);
        if (!ReadProperties(R, Out))
            return Out;
        ++Open;
    }
    return Out;
}

std::string WriteFormObjects(const std::vector<TFormStreamObject>& Objects)
{
    TStreamWriter W;
    W.WriteSignature();
    std::vector<int> Depths; // as written: 0, then each at most one deeper
    for (const auto& O : Objects) {
        if (!Depths.empty() && O.Depth <= 0)
            break;
        Depths.push_back(Depths.empty() ? 0 : std::min(O.Depth, Depths.back() + 1));
    }
    for (std::size_t I = 0; I < Depths.size(); ++I) {
        const TFormStreamObject& O = Objects[I];
        W.WriteObjectHead(O.ClassName, O.ObjectName);
        for (const auto& P : O.Properties)
            WriteProperty(W, P);
        W.WriteEnd();
        // A next object one deeper is this one's first child. Otherwise this
        // object's list of children ends, and with it the lists of every
        // ancestor down to the next object's parent.
        const int Next = I + 1 < Depths.size() ? Depths[I + 1] : 0;
        if (Next == Depths[I] + 1)
            continue;
        for (int K = Depths[I] - Next + 1; K > 0; --K)
            W.WriteEnd();
    }
    return W.Bytes();
}

std::string FormStreamProblem(const TFormStreamObjects& Read)
{
    switch (Read.Stop) {
    case TFormStreamStop::fsEnd:
        break;
    case TFormStreamStop::fsNoSignature:
        return "the assistant form is missing or is no form stream";
    case TFormStreamStop::fsUnknownTag:
        return "Internal error: Invalid assistant resource (" + std::to_string(Read.BadTag) + ").";
    case TFormStreamStop::fsTruncated:
        return "the assistant form ends inside an object";
    case TFormStreamStop::fsTooDeep:
        return "the assistant form nests its objects deeper than " + std::to_string(MaxFormDepth);
    case TFormStreamStop::fsTooManyItems:
        return "the assistant form holds more than " + std::to_string(MaxFormObjects) + " objects";
    }
    return {};
}

// ---------------------------------------------------------------------------
// Forms and items

std::optional<TNVItemKind> NVItemKindOfClass(std::string_view ClassName)
{
    if (ClassName.empty())
        return std::nullopt;
    for (std::size_t K = 0; K < std::size(NVItemClassNames); ++K)
        if (SameAsciiText(ClassName.substr(1), NVItemClassNames[K].substr(1)))
            return static_cast<TNVItemKind>(K);
    return std::nullopt;
}

bool NVBoolValue(std::string_view Text)
{
    return SameAsciiText(Text, "yes") || SameAsciiText(Text, "true") || Text == "1";
}

std::int32_t NVIntValue(std::string_view Text)
{
    const auto V = DigitsToIntA(false, Text);
    if (!V || *V < std::numeric_limits<std::int32_t>::min() ||
        *V > std::numeric_limits<std::int32_t>::max())
        return 0;
    return static_cast<std::int32_t>(*V);
}

void TNVItemDesc::SetProperty(std::string_view Property, std::string_view Value)
{
    auto Is = [&](std::string_view Known) { return SameAsciiText(Property, Known); };
    if (Is("Spacing"))
        Spacing = NVIntValue(Value);
    else if (Is("Enabled"))
        Enabled = NVBoolValue(Value);
    else if (Is("OutputType"))
        OutputType = ContainsAsciiText(Value, "ownSection");
    else if (Is("OutputName"))
        OutputName = Value;
    else
        switch (Kind) {
        case ikButton:
            if (Is("MinWidth"))
                MinWidth = NVIntValue(Value);
            else if (Is("Caption"))
                Caption = Value;
            else if (Is("NoOwnerDraw"))
                NoOwnerDraw = NVBoolValue(Value);
            else if (Is("Visible"))
                Hidden = !NVBoolValue(Value);
            break;
        case ikLabel:
            if (Is("Caption"))
                Caption = Value;
            break;
        case ikEdit:
            if (Is("Text")) {
                Text = Value;
                ReplaceTextA(Text, "%lf%", "\r\n");
            } else if (Is("Lines"))
                Lines = NVIntValue(Value);
            else if (Is("Optional"))
                Optional = NVBoolValue(Value);
            else if (Is("Colored"))
                Plain = !NVBoolValue(Value);
            else if (Is("Valid"))
                Invalid = !NVBoolValue(Value);
            break;
        case ikCheckBox:
            if (Is("Caption") || Is("Text"))
                Caption = Value;
            else if (Is("Checked"))
                Checked = NVBoolValue(Value);
            break;
        case ikImage:
            if (Is("Width"))
                Width = NVIntValue(Value);
            else if (Is("Height"))
                Height = NVIntValue(Value);
            else if (Is("File"))
                File = Value;
            else if (Is("Clickable"))
                Clickable = NVBoolValue(Value);
            else if (Is("Border"))
                Border = NVBoolValue(Value);
            break;
        }
}

void TNVFormDesc::SetProperty(std::string_view Property, std::string_view Value)
{
    auto Is = [&](std::string_view Known) { return SameAsciiText(Property, Known); };
    if (Is("MinWidth"))
        MinWidth = NVIntValue(Value);
    else if (Is("Message"))
        Message = Value;
    else if (Is("ActiveControl"))
        ActiveControl = Value;
    else if (Is("Timer"))
        Timer = NVIntValue(Value);
    else if (Is("OnAction"))
        OnAction = Value;
}

TNVFormDesc NewFormDesc()
{
    TNVFormDesc F;
    for (int B = nbNext; B <= nbCancel; ++B) {
        TNVItemDesc I;
        I.Kind = ikButton;
        I.Name = NavButtonNames[B];
        I.Caption = NavButtonCaptions[B];
        F.Items.push_back(std::move(I));
    }
    return F;
}

TNVFormRead ReadFormStream(std::string_view Bytes)
{
    const TFormStreamObjects Read = ReadFormObjects(Bytes);
    TNVFormRead Out;
    Out.Form = NewFormDesc();
    Out.Stop = Read.Stop;
    Out.Problem = FormStreamProblem(Read);
    TNVFormDesc& Form = Out.Form;
    for (std::size_t I = 0; I < Read.Objects.size(); ++I) {
        const TFormStreamObject& O = Read.Objects[I];
        // The form object is the form, whatever its class.
        const std::optional<TNVItemKind> FoundKind =
            I == 0 ? std::nullopt : NVItemKindOfClass(O.ClassName);
        // Names are shown and compared as UTF-8.
        std::string Name = SanitizeUtf8(O.ObjectName);
        if (I == 0)
            Form.Name = Name;
        if (!FoundKind) {
            for (const auto& P : O.Properties)
                Form.SetProperty(P.Name, P.Value.AsText());
            continue;
        }
        const TNVItemKind Kind = *FoundKind;
        if (Name == "AbortBtn")
            Name = "CancelBtn";
        std::size_t Target = Form.Items.size();
        if (Kind == ikButton)
            for (int B = nbNext; B <= nbCancel; ++B)
                if (Name == NavButtonNames[B])
                    Target = static_cast<std::size_t>(B);
        if (Target == Form.Items.size()) {
            TNVItemDesc Item;
            Item.Kind = Kind;
            Item.Name = std::move(Name);
            Form.Items.push_back(std::move(Item));
        }
        TNVItemDesc& Item = Form.Items[Target];
        for (const auto& P : O.Properties)
            Item.SetProperty(P.Name, P.Value.AsText());
        // Only a multi-line edit's text can be a report section of its own.
        if (Item.OutputType && !(Item.Kind == ikEdit && Item.Lines >= 2))
            Item.OutputType = false;
    }
    return Out;
}
