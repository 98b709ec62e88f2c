#pragma once

#include "platform/Win32.h"

namespace tavrin {

// The calls the Windows serial device makes of the port's driver, each as
// the system names it. This class makes them of the system itself; a test
// puts a driver of its own in its place (UseCommDriver) to drive the
// device's own paths: transfers that end at once, late, in part, empty or
// never, and errors the real drivers give only on a bad day. The events of
// the transfers are the system's in either case.
class CommDriver {
public:
    virtual ~CommDriver() = default;

    virtual HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags);
    virtual BOOL GetCommState(HANDLE handle, DCB* dcb);
    virtual BOOL SetCommState(HANDLE handle, DCB* dcb);
    virtual BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
    virtual BOOL EscapeCommFunction(HANDLE handle, DWORD function);
    virtual BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, OVERLAPPED* ov);
    virtual BOOL WriteFile(HANDLE handle, const void* buffer, DWORD size, OVERLAPPED* ov);
    virtual BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* ov, DWORD* count, BOOL wait);
    virtual BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status);
    virtual BOOL CancelIoEx(HANDLE handle, OVERLAPPED* ov);
    virtual BOOL PurgeComm(HANDLE handle, DWORD flags);
    virtual BOOL CloseHandle(HANDLE handle);
};

// The driver that devices opened from now on use; nullptr: the system's. The
// driver must outlive every device opened through it, and every transfer
// such a device leaves behind.
void UseCommDriver(CommDriver* driver);

}  // namespace tavrin
