#pragma once
// QEBCoreContainer.journal beside the executable: one line per record,
// "<utc time> <pid> <key> <text>", appended with a single write and flushed at
// once, so a reader sees whole records while the container runs and several
// containers may share one journal.

#include <windows.h>

#include <string>

// A file beside the executable.
std::wstring SiblingPath(const wchar_t* name);

void OpenJournal();
void JournalRecord(const char* key, const std::string& text);
// The same, stamped with a time taken earlier (for an event journaled late).
void JournalRecordAt(const SYSTEMTIME& utc, const char* key, const std::string& text);

// Hexadecimal dump of raw bytes and the UTF-8 form of UTF-16LE bytes (an odd
// last byte is left out of the text; control characters become '.'; text with
// an unpaired surrogate gives none, the hexadecimal record still shows it).
std::string HexBytes(const void* data, unsigned long size);
std::string Utf16BytesToUtf8(const void* data, unsigned long size);
