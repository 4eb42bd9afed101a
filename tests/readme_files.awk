# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Writes the code blocks of README.md marked <!-- file: NAME --> into files
# named NAME under dir:  awk -v dir=<dir> -f readme_files.awk README.md
/^<!-- file: .* -->$/ { name = $3; next }
name != "" && /^```/ { if (out) { close(out); out = ""; name = "" } else out = dir "/" name; next }
out { print > out }
