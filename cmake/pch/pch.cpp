// The translation unit that a precompiled header is built with.
