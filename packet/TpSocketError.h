// The packet socket's error text, g_strTpSocketError. Flushes run on any sender thread, so
// two threads can fail at once: every write goes through StoreTpSocketError, which serialises
// them so that the string is never written by two threads at the same time. Readers (the
// application) see the text of the last failure.
#pragma once

// Puts the text of WinSock error `code` into g_strTpSocketError. Any thread.
void StoreTpSocketError(int code);
