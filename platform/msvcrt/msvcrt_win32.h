// _setmode, _fileno, _O_BINARY and _O_TEXT: the C runtime's, from <io.h> and <fcntl.h>.
#pragma once

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
