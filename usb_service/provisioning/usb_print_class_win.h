// The USB printing support interface class, enumerated by the bus and watched by
// the service's device notification.
#pragma once

#include "common/windows_include.h"

// {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}; defined here so no DDK header is needed.
inline constexpr GUID kUsbPrintInterfaceClass = {0x28d78fad, 0x5a12, 0x11d1,
                                                 {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};
