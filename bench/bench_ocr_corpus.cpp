// bench_ocr --corpus: text recognition of real windows from a new seed,
// hundreds of crops, against the tesseract command line on each (see
// tests/support/ocr_scene.h for the scenes and how a crop is judged).
// Needs a display: run it in scripts/x-session, once with picom and once
// with --no-compositor.
//
//   bench_ocr --corpus [--scenes N] [--seed S]
//
// The seed is taken from the clock unless given (or VISTROPE_OCR_SEED);
// every failing crop is printed with its scene's seed, and `--seed S
// --scenes 1` replays that scene alone. Exits 1 when a goal is missed: a
// line the plain reading read missing from ours, a word doubled, a number
// the plain reading reads right changed, more crops than 2 % where ours
// loses more words, more than half as many words lost in total, or a 1-3 px
// move that changes more than one word.
#include "bench_ocr_corpus.h"

#include "ocr_scene.h"

#include <QProcess>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int ocr_corpus_main(int argc, char** argv)
{
    using namespace testing_support::ocr_cases;
    RunOptions o;
    o.seed = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count() % 1000000007);
    if (const char* s = std::getenv("VISTROPE_OCR_SEED"))
        o.seed = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
    o.scenes = 80;
    o.selections = 4;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seed") == 0)
            o.seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (std::strcmp(argv[i], "--scenes") == 0)
            o.scenes = std::atoi(argv[i + 1]);
    }
    o.verbose = std::getenv("BENCH_OCR_VERBOSE") != nullptr;
    char keep[] = "/tmp/vistrope-ocr-corpus-XXXXXX";
    if (!::mkdtemp(keep))
        return 1;
    o.keep = keep;
    // picom keeps a window of its own on the display it composites.
    QProcess tree;
    tree.start("xwininfo", { "-root", "-tree" });
    tree.waitForFinished(5000);
    const bool composited = tree.readAllStandardOutput().toLower().contains("picom");
    std::printf("corpus: seed %u, %d scenes, %s; failing crops kept in %s\n", o.seed, o.scenes,
                composited ? "with picom" : "without a compositor", keep);
    std::fflush(stdout);
    const Totals t = run_corpus(o);
    print_totals(t);
    std::printf("seed %u (replay one scene: --seed <its seed> --scenes 1)\n", o.seed);
    const bool met = t.lines_missing == 0 && t.doubled == 0 && t.numbers_changed == 0 && t.worse * 50 <= t.crops
        && t.ours_lost * 2 <= t.plain_lost && t.moves_unstable == 0;
    std::printf("goals %s\n", met ? "met" : "missed");
    return met ? 0 : 1;
}
