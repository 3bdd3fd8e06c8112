// The one logger of the library and the program.
#pragma once

// Quiet switch: nonzero prints level-1 messages only.
extern int g_log_dummy;
// 1 means no log file; anything else copies every printed message into it.
extern int g_log_file_dummy;
// Path of the log file, NUL-terminated, at most 199 characters.
extern char g_log_file_name[200];

// Formats a message into a 1024-byte buffer, appends one newline and prints it
// on standard output. Text longer than 1022 bytes is cut there (back to the
// last whole UTF-8 character). Any level other than 1 is level 0.
void vyr_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

void vyr_set_log_dummy(int quiet);

// nullptr switches the log file off and returns 1; a path is stored and 0
// returned. A path of 200 characters or more does not fit: it is refused with
// -1 and the settings stay as they were.
int vyr_set_log_file(const char* path);

// Appends one finished message to the log file, starting the file afresh once
// it has grown past 10,000,000 bytes.
void write_log_file(const char* text);

// Size in bytes, 0 when the file cannot be examined.
long get_file_size(const char* path);
