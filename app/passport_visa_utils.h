// Helpers of the visa-page reading that the passport location also needs.
#pragma once

// Resets both MRZ line deskew records (size of line_rect, angle, mapping flag,
// crop and source offsets; line_rect's corner and the matrix stay) and
// empties the visa item's corner list. The visa reading's own copy of a
// record is not touched. Called at the start of every passport location and
// at shut-down; safe at any time.
void clearVisaIssueInfo();
