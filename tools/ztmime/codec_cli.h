// Shared body of `ztmime decode` and `ztmime encode`.
#pragma once

// Runs the codec chosen on the command line over a file or stdin, writing
// the result to stdout.  Returns the exit status.
int run_codec_command(const char *command, bool decode, int argc, char **argv);
