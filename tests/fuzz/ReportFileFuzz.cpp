// A report merged into any file content under any rules: the result always
// ends with the report as saved and an empty line, holds nothing that was not
// in the file or the report, stays within three quarters of the size limit
// when the file was too big, and the readers of fields and sections take any
// text.
//
// Input: one byte of switches, two bytes of size limit, then the old file and
// the report separated by the first zero byte (without one, the whole rest is
// the old file and the report is a fixed one).
#include "crashreport/kelExceptSave.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

const std::string FixedReport = "date/time       : 2024-03-09, 14:05:09, 7ms\r\n"
                                "executable      : /usr/bin/tolvex\r\n"
                                "exception class : std::runtime_error\r\n"
                                "callstack crc   : $11111111, $22222222, $33333333\r\n"
                                "\r\n"
                                "error details:\r\n"
                                "boom";

void Check(bool Ok)
{
    if (!Ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    if (Size < 3)
        return 0;
    TReportFileRules Rules;
    Rules.Append = (Data[0] & 1) == 0;
    Rules.NoDupExcepts = (Data[0] & 2) == 0;
    Rules.NoDupFreezes = (Data[0] & 4) == 0;
    Rules.DupExceptDef = (Data[0] >> 3) & 3;
    Rules.DupFreezeDef = (Data[0] >> 5) & 3;
    Rules.SizeLimit = Data[1] | Data[2] << 8;
    const std::string_view Rest(reinterpret_cast<const char*>(Data + 3), Size - 3);
    const std::size_t Zero = Rest.find('\0');
    const std::string_view Old = Rest.substr(0, Zero);
    const std::string Report =
        Zero == std::string_view::npos ? FixedReport : std::string(Rest.substr(Zero + 1));

    std::string Saved;
    const std::string New = MergeReportIntoFile(Old, Report, Rules, &Saved);
    Check(New.ends_with(Saved + "\r\n\r\n"));
    // The report as saved differs from the report at most by its count.
    Check(Saved == Report || SetReportField(Report, "count", GetReportField(Saved, "count"),
                                            "callstack crc") == Saved);
    const std::size_t Kept = New.size() - Saved.size() - 4;
    if (!Rules.Append || Old.empty())
        Check(Kept == 0);
    else if (Rules.SizeLimit > 0 && static_cast<std::size_t>(Rules.SizeLimit) < Old.size())
        Check(Kept < static_cast<std::size_t>(Rules.SizeLimit) * 3 / 4 + 4);
    else
        Check(Kept <= Old.size() + 4);

    // The readers over the hostile text.
    (void)GetReportField(Old, "callstack crc");
    (void)GetReportSection(Old, "error details");
    (void)SetReportField(Old, "count", "7", "callstack crc");
    (void)DuplicateKey(Report, Rules);
    return 0;
}
