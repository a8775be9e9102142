#include "codec_cli.h"
#include "commands.h"

// ztmime decode --base64|--qp|--uu|--dot [FILE|-]: decodes (for --dot:
// removes dot-stuffing) and writes the result to stdout.
int cmd_decode(int argc, char **argv) { return run_codec_command("decode", true, argc, argv); }
