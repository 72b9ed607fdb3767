// Replacement CTP data-collection libraries for tests, preloaded over the real one.
// FAKE_SYSINFO_MODE picks the behaviour: 1 info with a zero byte inside, 2 writes nothing,
// 3 fills the whole buffer without a terminator.

#include <cstring>

#include "ctp_sysinfo.h"

int CTP_GetSystemInfo(char* buffer, int& length) {
#if FAKE_SYSINFO_MODE == 1
    static const char kInfo[] = "os=Linux\0host=hidden";
    std::memcpy(buffer, kInfo, sizeof kInfo);
    length = sizeof kInfo - 1;
    return 0;
#elif FAKE_SYSINFO_MODE == 2
    (void)buffer;
    (void)length;
    return -1;
#elif FAKE_SYSINFO_MODE == 3
    std::memset(buffer, 'x', CTP_SYSTEM_INFO_SIZE);
    length = CTP_SYSTEM_INFO_SIZE;
    return 0;
#else
#error "FAKE_SYSINFO_MODE must be 1, 2 or 3"
#endif
}
