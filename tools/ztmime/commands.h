// Subcommands of the ztmime program; each returns the process exit status.
#pragma once

int cmd_events(int argc, char **argv);
int cmd_tree(int argc, char **argv);
int cmd_headers(int argc, char **argv);
int cmd_extract(int argc, char **argv);
int cmd_json(int argc, char **argv);
int cmd_decode(int argc, char **argv);
int cmd_encode(int argc, char **argv);
