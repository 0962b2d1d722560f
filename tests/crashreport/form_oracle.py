"""Assistant form streams as Python's struct builds and reads them.

  form_oracle.py write <case> <stream>   writes the stream of a case (below)
  form_oracle.py read <stream>           prints the objects of a form stream

A printed object is "object<TAB>depth<TAB>class<TAB>name", each of its
properties "<TAB>name<TAB>text" with the text as hex of its UTF-8 bytes (an
integer in decimal, a boolean as "0" or "1", as the forms take every value),
and the last line says why the reading ended: "stop<TAB>end", "stop<TAB>tag N"
or "stop<TAB>truncated".

Cases:
  bools     one check box per way of writing "Checked" (see BOOLS)
  unknown   two labels, an edit whose third property has tag 5, a fourth label
  buttons   AbortBtn, OkBtn, a label named ContinueBtn, a class "XNVEdit", an
            object of another class, an item inside an item
  deep      objects nested 10000 deep
  many      a form with 1000 labels
"""
import struct
import sys


def short(raw):
    return bytes([len(raw)]) + raw


def prop(name, tag, payload=b""):
    return short(name.encode()) + bytes([tag]) + payload


def text(name, value, tag=6):
    raw = value.encode("utf-8")
    if tag == 6 or tag == 7:
        return prop(name, tag, short(value.encode("cp1252") if tag == 6 else raw))
    if tag == 12 or tag == 20:
        return prop(name, tag, struct.pack("<I", len(raw)) + raw)
    if tag == 18:
        wide = value.encode("utf-16-le")
        return prop(name, tag, struct.pack("<I", len(wide) // 2) + wide)
    raise ValueError(tag)


def integer(name, value):
    for tag, fmt in ((2, "<b"), (3, "<h"), (4, "<i")):
        try:
            return prop(name, tag, struct.pack(fmt, value))
        except struct.error:
            continue
    raise ValueError(value)


def obj(cls, name, props=(), children=()):
    return (short(cls.encode()) + short(name.encode()) + b"".join(props) + b"\0" +
            b"".join(children) + b"\0")


def form(children, props=()):
    return b"TPF0" + obj("TNVForm", "Form", props, children)


# Ways of writing "Checked": (item name, property record).
BOOLS = [
    ("YesShort", text("Checked", "Yes")),
    ("TrueUtf8", text("Checked", "TRUE", 20)),
    ("OneShort", text("Checked", "1")),
    ("TrueTag", prop("Checked", 9)),
    ("OneInt", integer("Checked", 1)),
    ("YesWide", text("Checked", "yEs", 18)),
    ("TrueIdent", text("Checked", "true", 7)),
    ("TrueLong", text("Checked", "True", 12)),
    ("On", text("Checked", "on")),
    ("Two", text("Checked", "2")),
    ("TwoInt", integer("Checked", 2)),
    ("FalseTag", prop("Checked", 8)),
    ("OneBlank", text("Checked", "1 ")),
    ("YesDot", text("Checked", "yes.")),
    ("Empty", text("Checked", "")),
]


def case_bools():
    return form([obj("TNVCheckBox", n, [p]) for n, p in BOOLS])


def case_unknown():
    return form([
        obj("TNVLabel", "L1", [text("Caption", "one")]),
        obj("TNVLabel", "L2", [text("Caption", "two")]),
        obj("TNVEdit", "E3", [text("Text", "kept"), integer("Lines", 3),
                              prop("Bad", 5, b"\1\2\3\4"), text("Optional", "yes")]),
        obj("TNVLabel", "L4", [text("Caption", "four")]),
    ])


def case_buttons():
    return form([
        obj("TNVButton", "AbortBtn", [text("Caption", "Stop"), prop("Enabled", 8)]),
        obj("TNVButton", "OkBtn", [text("Caption", "OK"), integer("MinWidth", 90)]),
        obj("TNVLabel", "ContinueBtn", [text("Caption", "a label")]),
        obj("XNVEdit", "Edit", [integer("Lines", 2), text("OutputType", "my OWNSECTION")]),
        obj("TNVEdit", "OneLine", [text("OutputType", "ownSection"), text("OutputName", "x")]),
        obj("TStuff", "Other", [text("Message", "from another class"), integer("Timer", 250)]),
        obj("TNVLabel", "Outer", [], [obj("TNVCheckBox", "Inner", [text("Text", "inside")])]),
        obj("TNVButton", "SkipBtn", [prop("Visible", 8), text("NoOwnerDraw", "TRUE")]),
    ], [text("Message", "Buttons"), text("OnAction", "unit.Routine")])


def case_deep():
    depth = 10000
    head = b"".join(short(b"TNVLabel") + short(b"L%d" % i) + b"\0" for i in range(depth))
    return b"TPF0" + short(b"TNVForm") + short(b"Deep") + b"\0" + head + b"\0" * (depth + 1)


def case_many():
    return form([obj("TNVLabel", "L%d" % i, [text("Caption", str(i))]) for i in range(1000)])


def read(data):
    at = 0

    def take(n):
        nonlocal at
        if at + n > len(data):
            raise EOFError
        piece = data[at:at + n]
        at += n
        return piece

    out = []
    if data[:4] != b"TPF0":
        return out, "nosignature"
    at = 4

    def value(tag):
        if tag in (2, 3, 4):
            fmt = {2: "<b", 3: "<h", 4: "<i"}[tag]
            return str(struct.unpack(fmt, take(struct.calcsize(fmt)))[0])
        if tag in (8, 9):
            return str(tag - 8)
        if tag in (6, 7):
            raw = take(take(1)[0])
            return raw.decode("cp1252", "replace") if tag == 6 else raw.decode("utf-8", "replace")
        if tag in (12, 20):
            raw = take(struct.unpack("<I", take(4))[0])
            return raw.decode("cp1252", "replace") if tag == 12 else raw.decode("utf-8", "replace")
        if tag == 18:
            return take(2 * struct.unpack("<I", take(4))[0]).decode("utf-16-le", "replace")
        raise KeyError(tag)

    try:
        stack = 0
        while True:
            n = take(1)[0]
            if stack and n == 0:
                stack -= 1
                if stack == 0:
                    return out, "end"
                continue
            cls = take(n).decode("utf-8", "replace")
            name = take(take(1)[0]).decode("utf-8", "replace")
            out.append("object\t%d\t%s\t%s" % (stack, cls, name))
            while True:
                n = take(1)[0]
                if n == 0:
                    break
                pname = take(n).decode("utf-8", "replace")
                tag = take(1)[0]
                try:
                    v = value(tag)
                except KeyError:
                    return out, "tag %d" % tag
                out.append("\t%s\t%s" % (pname, v.encode("utf-8").hex()))
            stack += 1
    except EOFError:
        return out, "truncated"


def main():
    if sys.argv[1] == "write":
        data = globals()["case_" + sys.argv[2]]()
        with open(sys.argv[3], "wb") as f:
            f.write(data)
        return
    with open(sys.argv[2], "rb") as f:
        lines, stop = read(f.read())
    for line in lines:
        print(line)
    print("stop\t" + stop)


main()
