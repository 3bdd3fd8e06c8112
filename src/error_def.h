// Texts of the MRZ-location failure codes.
#pragma once

// Logs the text of a code from -7 to -2 at level 0; any other code logs nothing.
void showError(int code);

// The text of a code from -7 to -2, or nullptr.
const char* errorText(int code);
