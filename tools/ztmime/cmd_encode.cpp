#include "codec_cli.h"
#include "commands.h"

// ztmime encode --base64|--qp|--uu|--dot [FILE|-]: encodes (for --dot: adds
// dot-stuffing) and writes the result to stdout.
int cmd_encode(int argc, char **argv) { return run_codec_command("encode", false, argc, argv); }
