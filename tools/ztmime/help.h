// The --help texts of the commands.
#pragma once

extern const char kHelpMain[];
extern const char kHelpTree[];
extern const char kHelpHeaders[];
extern const char kHelpExtract[];
extern const char kHelpJson[];
extern const char kHelpEvents[];
