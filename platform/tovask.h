/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
/*
 * The platform's tick counter, supplied by libtovask.so.
 *
 * TickGetCount returns the current tick count. The count never goes
 * backwards and advances with time in the unit in which timer timeouts are
 * given. Where it starts is the platform's choice; callers use only
 * differences.
 */
#ifndef STIMER_PLATFORM_TOVASK_H
#define STIMER_PLATFORM_TOVASK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int64_t TickGetCount(void);

#ifdef __cplusplus
}
#endif

#endif /* STIMER_PLATFORM_TOVASK_H */
