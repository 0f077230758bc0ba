// Text and name helpers of the socket server framework: tokens of delimited texts,
// line-end stripping, and host-name and address lookups. Stateless; safe on any
// thread (the lookups use the re-entrant resolver calls).
#pragma once

// The index-th (from 0) maximal run of characters that are not in delimiters,
// copied with its NUL: 0; 1 when there is no such token or it does not fit.
int GetToken(const char* text, const char* delimiters, int index, char* buffer, int size);
// GetToken into a 60-byte buffer, then atol: 0, or 1 without such a token.
int GetTokenAsLong(const char* text, const char* delimiters, int index, long* value);
// The number of maximal runs of non-delimiter characters.
int CountTokens(const char* text, const char* delimiters);
// Cuts a final CR LF (or LF CR, or two line-end characters) or a single final CR or
// LF off the NUL-terminated text, in place.
void StripLineEnd(char* text);

// The host name of a dotted IPv4 address by reverse lookup: 0 copied, 1 the buffer is
// too small (size below the name's length + 1), 2 the lookup failed.
int AddressToHostName(const char* address, char* buffer, int size);
// The first IPv4 address of name as dotted text, skipping everything up to the last
// '@' (searched from the second character on): 0, 1 too small, 2 lookup failed.
int HostNameToAddress(const char* name, char* buffer, int size);
