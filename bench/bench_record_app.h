// bench_record's in-app part (bench_record_app.cpp).
#pragma once

namespace bench_record {

// --in-app: the program against ffmpeg at both sizes, each in a test session
// of its own; --in-app-round: one size, run inside that session.
int in_app(int argc, char** argv);

} // namespace bench_record
