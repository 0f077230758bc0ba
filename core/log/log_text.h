// The rewrites the log writer applies to a line before it reaches the day's file, so
// that neither key blocks, login challenges nor encrypted payloads are ever stored.
// Pure functions on a byte string; safe from any thread.
#pragma once

#include <string>

// A client frame is an FS followed by the mode character "1" (the first such pair is
// taken; only when there is none, the first FS "2").
//
// When the line holds a client frame and, from the frame marker on, the words
// "sent to" (or, when those are absent, "received from"), the line becomes the text
// before the marker, " Encrypted Msg ] " and the rest of the line from those words.
//
// Every other line (including a client frame without either word after its marker)
// loses its first DC1..DC2 span and then its first RS..US span, delimiters included;
// a span whose closing character is missing is left alone.
void MaskEncryptedLogText(std::string& line);

// Removes the first "TranType=Administrative" together with the one character after
// it (the FS that ends the item), when the line holds it.
void StripAdministrativeTranType(std::string& line);
