// Messages about a data file that say which file and where it was looked for:
// a user who sees only "does not exist in the working folder" cannot tell
// which folder that was.
#pragma once

// text, then a line naming file and a line naming the folder it was looked
// for in. With listeningSolver set, the folder line says instead that the
// solver looked in its own working folder. The result stays valid until the
// next call, long enough for an error status.
const char* dataFileMessage(const char* text, const char* file, int listeningSolver);
