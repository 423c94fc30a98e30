// talvencat: a netcat for length-prefixed packets. See kCatUsage for the interface.
#include <iostream>

#include "talven.h"
#include "talvencat/CatApp.h"
#include "talvencat/CatOptions.h"

int main(int argc, char** argv) {
    // Packets are bytes: no CR LF translation of the standard streams where the C runtime has a
    // text mode (Windows), and no end of input at a ^Z byte. Messages end in "\n" everywhere.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    CatOptions options;
    std::string error;
    if (!ParseCatOptions(argc - 1, argv + 1, options, error)) {
        std::cerr << "talvencat: " << error << "\nTry 'talvencat --help'.\n";
        return 2;
    }
    if (options.help) {
        std::cout << kCatUsage;
        return 0;
    }
    // The input thread reads std::cin while the main thread writes std::cout: untie them so
    // that a read does not flush the output stream from the wrong thread.
    std::cin.tie(nullptr);
    CatApp app(options);
    return app.Run();
}
