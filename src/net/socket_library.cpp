// The start of the socket library, with its failure written to the debug log.
#include "common/environment.h"
#include "net/inet.h"
#include "platform/socket.h"

namespace Network {

bool ReportSocketLibraryStart(int code) {
    if (code == 0) {
        return true;
    }
    WriteAtLevel(GetProcessDebugLog(), kLogErrors, FormatLine(L"Error init WinSocks; code = %d", code));
    return false;
}

bool InitWinSock() {
    return ReportSocketLibraryStart(platform::StartSocketLibrary().code);
}

}  // namespace Network
