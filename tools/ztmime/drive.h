// Shared driver of the commands that run the parser over a message.
#pragma once

#include <functional>

#include "ztmime.h"

// Called for every event the parser hands out, with the event's view (it
// may be null; the driver destroys it afterwards).  Returns false to stop.
using EventHandler = std::function<bool(ztmime_ctx *ctx, int ev, ztview *view)>;

// Opens `path` ("-" is stdin), feeds it to a new parser context in 64 KiB
// chunks and hands every event to `on_event` until the message is done.
// Errors are reported on stderr as "ztmime COMMAND: ...".  Returns the exit
// status: 0, 3 when the file cannot be read, 1 when the parser or memory failed.
int drive_parser(const char *command, const char *path, const EventHandler &on_event);
