// Encodes the same Code 128 texts with TBarcode and with zint (to memory) and prints
// both rates and their ratio. Built and run by scripts/bench-barcode.
#include <zint.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "barcode/barcode.h"

int main(int argc, char** argv)
{
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const std::size_t length = 24;
    // Texts of set A: space to underscore, as a label's serial and date would be.
    std::mt19937 rng(24);
    std::uniform_int_distribution<int> pick(32, 95);
    std::vector<std::string> texts(count);
    for (auto& t : texts) {
        t.resize(length);
        for (char& c : t)
            c = static_cast<char>(pick(rng));
    }
    using clock = std::chrono::steady_clock;

    auto t0 = clock::now();
    std::size_t ours = 0;
    TBarcode barcode;
    barcode.SetTyp(bcCode128A);
    for (const auto& t : texts) {
        barcode.SetText(t);
        ours += barcode.BuildPattern().size();
    }
    const double oursSeconds = std::chrono::duration<double>(clock::now() - t0).count();

    t0 = clock::now();
    std::size_t theirs = 0;
    zint_symbol* symbol = ZBarcode_Create();
    for (const auto& t : texts) {
        ZBarcode_Clear(symbol);
        symbol->symbology = BARCODE_CODE128;
        if (ZBarcode_Encode(symbol, reinterpret_cast<const unsigned char*>(t.data()),
                            static_cast<int>(t.size()))
            >= ZINT_ERROR) {
            std::fprintf(stderr, "zint: %s\n", symbol->errtxt);
            return 1;
        }
        theirs += static_cast<std::size_t>(symbol->width);
    }
    ZBarcode_Delete(symbol);
    const double zintSeconds = std::chrono::duration<double>(clock::now() - t0).count();

    const double oursRate = count / oursSeconds, zintRate = count / zintSeconds;
    std::printf("texts: %zu of %zu characters (Code 128 set A)\n", count, length);
    std::printf("TBarcode: %.3f s, %.0f symbols/s (%zu elements)\n", oursSeconds, oursRate, ours);
    std::printf("zint %d:  %.3f s, %.0f symbols/s (%zu modules)\n", ZBarcode_Version(), zintSeconds,
                zintRate, theirs);
    std::printf("ratio: %.2fx zint's rate\n", oursRate / zintRate);
    return 0;
}
