// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
/* Built in every language mode the header promises, with warnings as errors. */
#include "stimer.h"

int stimer_header_check(void);

int stimer_header_check(void)
{
    return (int)sizeof(stimer) + (int)sizeof(running_timers);
}
