// The holder's name: re-reading the name window of an MRZ line, cleaning its
// fillers, and turning a name field into the printable name (a Latin name, or
// a letter-coded Chinese name decoded to UTF-8).
//
// A name field or window holds at most kNameBufSize - 1 (49) characters;
// longer ones are refused.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "name_convert.h"

// Filler clean-up in place: after the first run of four fillers, a character
// standing alone between two fillers becomes a filler; then trailing fillers
// and blanks are cut.
void trim_name(char* text);

// The name length of the window of `length` characters at text + position:
// trimmed, and cut at the first run of four fillers from index 4 on when it
// holds 9 or more characters. -1 for a window longer than 49 characters.
int get_name_right_pos(char* text, int position, int length);

// Re-reads the name in the window of `length` characters at `position` (in
// characters and in boxes) of a line with the MRZ recogniser and repairs
// `text` in place, asking the English recogniser where the two disagree.
// Stray characters between fillers are first turned into fillers, within the
// window only. 0 when every position was settled; -1 for too few boxes, a
// window that is empty or too long, a reading of another length, or a
// position neither recogniser settles (earlier repairs stay).
int extract_en_name(cv::Mat& image, std::vector<cv::Rect>& boxes, int position, int length, char* text);

// Replaces the name field by the printable name. 0: a Latin name, fillers
// turned into blanks (-1 when it is shorter than 4 characters, the field
// overwritten all the same); 1: a letter-coded Chinese name (a 39-character
// field ending in "?AC"), decoded to UTF-8; -1 when that does not decode (the
// field unchanged) or the field is longer than 49 characters.
int get_name(char* field);

// Decodes a field known to hold a letter-coded name (up to its first filler)
// into UTF-8 in place. 0, or -1 with the field unchanged.
int get_chinese_name(char* field);
