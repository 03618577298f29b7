#pragma once
// Native builds of the fuzz targets only: the two plain data types the log
// record formatter takes from <windows.h>, laid out as Windows lays them out.
// No function of the platform is stood in for; code that calls one does not
// build against this header.

#include <cstdint>

typedef uint16_t WORD;
typedef unsigned long DWORD;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;
