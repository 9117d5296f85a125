// bench_ocr's corpus mode (bench_ocr_corpus.cpp): real windows from a seed.
#pragma once

// Runs the corpus with the arguments bench_ocr was given; its exit status.
// Needs a QApplication and a display.
int ocr_corpus_main(int argc, char** argv);
