// CTP data-collection library: gathers host information of a client terminal.
#pragma once

#define CTP_SYSINFO_API __attribute__((visibility("default")))

// Size of the buffer callers hand to CTP_GetSystemInfo.
constexpr int CTP_SYSTEM_INFO_SIZE = 344;

// Writes the host information into buffer (CTP_SYSTEM_INFO_SIZE bytes, zero-terminated) and its
// length, without the terminator, into length. Returns 0 on success.
CTP_SYSINFO_API int CTP_GetSystemInfo(char* buffer, int& length);
