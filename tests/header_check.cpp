// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The same caller, compiled as C++.
#include "header_check.c"
