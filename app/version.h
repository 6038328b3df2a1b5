// The tool's own file version, shown on the report's "Version:" line.
#pragma once
#define PELMO_VERSION_NUMBERS 9,0,0,1
#define PELMO_VERSION_TEXT "9.0.0.1"
