// Keeps the native library non-empty while its folders fill up.
