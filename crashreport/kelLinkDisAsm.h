// Links the disassembler into the bug report: at start-up this unit stores
// crashlib's listing routine (ParseFunctionText) in its listing hook, which
// the report's "disassembling" section calls. Linking the unit is all it
// takes; it registers no section of its own.
#pragma once

// Whether the hook holds this unit's routine (for tests).
bool DisAsmLinked();
