#include "help.h"

#define EXIT_STATUS                                                                                        \
    "Exit status: 0 done; 1 the work finished but some input had problems (malformed or\n"                 \
    "cut-off mail, an empty file, a directory without messages), reported on stderr or in\n"                \
    "the output; 2 usage error; 3 a file could not be read or written.\n"

#define INPUTS                                                                                             \
    "A FILE is one message, or with --mbox a mailbox of messages each starting with a\n"                   \
    "\"From \" line (\">From \" quoting is undone).  \"-\" or no FILE reads standard input.\n"             \
    "A message that starts with a UTF-8 byte-order mark is read from after it.\n"

#define DIRS                                                                                               \
    "A DIR with cur/ and new/ is a maildir: the messages in cur/ and new/ are read, in\n"                  \
    "name order (tmp/ is left alone).  Any other DIR is walked for files, each read as\n"                  \
    "a message (with --mbox, as an mbox); dot files are skipped.\n"

const char kHelpMain[] =
    "usage: ztmime COMMAND [OPTIONS] [FILE|-]\n"
    "Take mail messages apart from the shell.\n"
    "\n"
    "Commands:\n"
    "  tree [--json] [--mbox] [FILE|-|DIR]        structure of the message(s)\n"
    "  headers [--mbox] [FILE|-|DIR]              decoded header fields, UTF-8\n"
    "  extract [-d DIR] [--all] [--mbox] [FILE|-|DIR]\n"
    "                                             save attachments (--all: every part with a body)\n"
    "  json [--jobs N] [--mbox] FILE|DIR...       one JSON object per message (JSON Lines)\n"
    "  events [FILE|-]                            one line per parser event\n"
    "  decode --base64|--qp|--uu|--dot [FILE|-]   decode a body to standard output\n"
    "  encode --base64|--qp|--uu|--dot [FILE|-]   encode a body to standard output\n"
    "\n"
    "  ztmime COMMAND --help     what a command prints and its options\n"
    "  ztmime --version          the library's version\n"
    "\n"
    "Every command that reads messages takes -q/--quiet: no progress line on stderr (shown\n"
    "only when stderr is a terminal and a run takes more than a second).\n"
    "\n" EXIT_STATUS;

const char kHelpTree[] =
    "usage: ztmime tree [--json] [--mbox] [-q] [FILE|-|DIR]\n"
    "The part structure of each message, one line per part in tree order:\n"
    "\n"
    "  PATH  TYPE [charset=C]  encoding=E size=N [parts=K] [disposition=D] [file=\"F\"] [problems=P]\n"
    "\n"
    "Lines are indented two spaces per enclosing part, so a multipart's own parts sit one\n"
    "step deeper than it.  PATH is the part's place in the tree (\"message\" for the message\n"
    "itself, then 1, 2, 1.2, ...).  size is the number of decoded body bytes (transfer\n"
    "encoding removed); for a multipart or message/rfc822 part it is the sum over the parts\n"
    "inside it, and parts=K counts its direct parts.  encoding \"-\" means none was given.\n"
    "problems lists what was wrong with the part: decode (lines that failed to decode were\n"
    "left out), charset, truncated (the input ended inside it), header (a malformed field).\n"
    "With several messages (--mbox, a DIR) each starts with a line \"== FILE\" or\n"
    "\"== FILE@OFFSET\".\n"
    "\n"
    "  --json    one JSON object per message: {\"file\", \"offset\", \"parts\": [part]} where a\n"
    "            part has path, type, charset, encoding, disposition, filename, size,\n"
    "            problems and, for multiparts and message/rfc822, its own \"parts\".\n"
    "  --mbox    the input is an mbox\n"
    "  -q        no progress line\n"
    "\n" INPUTS DIRS "\n" EXIT_STATUS;

const char kHelpHeaders[] =
    "usage: ztmime headers [--mbox] [-q] [FILE|-|DIR]\n"
    "The header fields of each message, one \"Name: value\" line per field in the order of\n"
    "the message: unfolded, encoded words decoded, UTF-8 (8-bit text that is not UTF-8 is\n"
    "read as ISO-8859-1).  Control bytes other than tab print as \\xHH.  Messages are\n"
    "separated by an empty line; with several messages each starts with \"== FILE\" or\n"
    "\"== FILE@OFFSET\".\n"
    "\n"
    "  --mbox    the input is an mbox\n"
    "  -q        no progress line\n"
    "\n" INPUTS DIRS "\n" EXIT_STATUS;

const char kHelpExtract[] =
    "usage: ztmime extract [-d DIR] [--all] [--mbox] [-q] [FILE|-|DIR]\n"
    "Saves the decoded attachments of each message into DIR (default: the current\n"
    "directory, created if missing): parts with a body that are marked as attachments\n"
    "or carry a file name; with --all every part with a body.  Prints one line per file:\n"
    "\n"
    "  SAVED-PATH <tab> BYTES <tab> SOURCE <tab> PART\n"
    "\n"
    "SOURCE is the input file (FILE@OFFSET in an mbox), PART the part's path (\"message\"\n"
    "for a message without parts).\n"
    "\n"
    "Names are made safe, and nothing is ever written outside DIR: only the part after the\n"
    "last \"/\" or \"\\\" is kept; control bytes, invalid UTF-8 and a leading \"-\" become \"_\";\n"
    "an empty name, \".\", \"..\" and names of dots only become part-PATH.EXT (message.EXT\n"
    "for a single-part message); long names are cut to 200 bytes.  An existing file or link\n"
    "is never overwritten or followed: a counter is added instead (name-1.ext, name-2.ext).\n"
    "\n"
    "  -d DIR    where files go\n"
    "  --all     every part with a body, not only attachments\n"
    "  --mbox    the input is an mbox\n"
    "  -q        no progress line\n"
    "\n" INPUTS DIRS "\n" EXIT_STATUS;

const char kHelpJson[] =
    "usage: ztmime json [--jobs N] [--mbox] [-q] FILE|DIR...\n"
    "One JSON object per message, one per line (JSON Lines), in input order:\n"
    "\n"
    "  {\"file\", \"offset\", \"subject\", \"from\", \"to\", \"cc\", \"date\", \"message_id\",\n"
    "   \"parts\": [{\"path\", \"type\", \"charset\", \"disposition\", \"filename\", \"size\",\n"
    "              \"sha256\", \"problems\"}]}\n"
    "\n"
    "offset is the byte offset of the message in its file.  Header values are decoded to\n"
    "UTF-8, null when the field is absent.  parts lists every part in tree order (\"\" is\n"
    "the message itself); size counts decoded bytes (for a multipart or message/rfc822\n"
    "part, those of the parts inside it), sha256 is the hex SHA-256 of the decoded bytes\n"
    "(null for multiparts and message/rfc822), problems a list of \"decode\", \"charset\",\n"
    "\"truncated\", \"header\".  The output is valid UTF-8 JSON whatever the mail holds: a\n"
    "byte that is not part of valid UTF-8 is written as U+FFFD, control characters as \\u00XX.\n"
    "\n"
    "  --jobs N  read messages on N threads; the output order stays the same\n"
    "  --mbox    each FILE is an mbox\n"
    "  -q        no progress line\n"
    "\n" INPUTS DIRS "\n" EXIT_STATUS;

const char kHelpEvents[] =
    "usage: ztmime events [FILE|-]\n"
    "One line per parser event: its name, the byte count and an escaped preview.\n";
