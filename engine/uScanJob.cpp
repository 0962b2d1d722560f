#include "engine/uScanJob.h"

void TScanJob::Reset()
{
    Address.clear();
    Alive = false;
    IP.clear();
    Computer.reset();
    Target = 0;
    Method = 0;
    Status = jsNone;
    Message.clear();
    Names.reset();
    ADIncludeDisabled = false;
    CheckError.clear();
    Settings = TEngineSettings{};
}
