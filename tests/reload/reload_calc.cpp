// The library a reload replaces: built twice, as version 1 and version 2
// (RELOAD_VERSION), whose calc answers differ, so that every answer tells
// which version served it.
#ifndef RELOAD_VERSION
#error "RELOAD_VERSION must be 1 or 2"
#endif

int calc(int x) { return RELOAD_VERSION * 1000 + x; }
