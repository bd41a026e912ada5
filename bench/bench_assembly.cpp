// Frame assembly throughput in direct mode: bulk transfers (64 KiB) and
// isochronous packets (3 KiB) fed to the camera's data callback at
// DISPATCH_LEVEL, against a plain memcpy of the same payload bytes into one
// buffer. The argument is the frame size in bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "kernel/pool_tags.h"
#include "uvc/uvc_camera.h"

namespace {

// A sink with one client buffer that is handed out again as soon as it
// comes back, so every frame has a buffer.
class bench_sink : public frame_sink {
 public:
  explicit bench_sink(size_t size) : buffer_(size) {}
  PVOID acquire_frame_buffer(PUCHAR* data, ULONG* capacity) override {
    *data = buffer_.data();
    *capacity = ULONG(buffer_.size());
    return buffer_.data();
  }
  void frame_done(PVOID, NTSTATUS, ULONGLONG, ULONGLONG, ULONG) override { ++frames_; }
  uint64_t frames_ = 0;

 private:
  std::vector<UCHAR> buffer_;
};

class bench_camera : public uvc_camera {
 public:
  bench_camera(frame_sink* sink, ULONG frame_size) : uvc_camera(nullptr, sink) {
    raw_type_ = img::make_img_type(img::FOURCC_Y800, int(frame_size), 1);
    output_type_ = raw_type_;
  }
  void start() {
    open_assembly(false);
    on_stream_start();
    run_assembly();
  }
  void finish() {
    stop_assembly();
    close_assembly();
    on_stream_stop();
  }
};

// Two frames (FID 0 and 1) as UVC payloads of `payload` data bytes each.
std::vector<std::vector<UCHAR>> make_payloads(size_t frame_size, size_t payload) {
  std::vector<std::vector<UCHAR>> out;
  for (int fid = 0; fid < 2; ++fid) {
    for (size_t at = 0; at < frame_size; at += payload) {
      const size_t n = std::min(payload, frame_size - at);
      std::vector<UCHAR> p(12 + n, UCHAR(at));
      p[0] = 12;
      p[1] = UCHAR(fid | (at + n == frame_size ? 0x02 : 0) | 0x84);
      out.push_back(std::move(p));
    }
  }
  return out;
}

void run_assembly(benchmark::State& state, size_t payload) {
  const size_t frame_size = size_t(state.range(0));
  auto payloads = make_payloads(frame_size, payload);
  bench_sink sink(frame_size);
  bench_camera* camera = new (NonPagedPoolNx, pool_tag::objects)
      bench_camera(&sink, ULONG(frame_size));
  camera->start();
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  for (auto _ : state) {
    for (auto& p : payloads) {
      uvc_camera::data_callback(nullptr, camera, p.data(), ULONG(p.size()));
    }
  }
  KeLowerIrql(irql);
  if (sink.frames_ != 2 * uint64_t(state.iterations())) state.SkipWithError("frames were lost");
  camera->finish();
  delete camera;
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(frame_size));
}

void BM_assembly_direct_bulk(benchmark::State& state) { run_assembly(state, 65536); }
void BM_assembly_direct_iso(benchmark::State& state) { run_assembly(state, 3072); }

// The same payload bytes copied into one frame buffer with memcpy: the
// floor any assembly has to pay.
void BM_memcpy_payload(benchmark::State& state) {
  const size_t frame_size = size_t(state.range(0));
  auto payloads = make_payloads(frame_size, 65536);
  std::vector<UCHAR> frame(frame_size);
  for (auto _ : state) {
    for (int fid = 0; fid < 2; ++fid) {
      size_t at = 0;
      for (size_t i = fid * payloads.size() / 2; i < (fid + 1) * payloads.size() / 2; ++i) {
        const size_t n = payloads[i].size() - 12;
        std::memcpy(frame.data() + at, payloads[i].data() + 12, n);
        at += n;
      }
      benchmark::DoNotOptimize(frame.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(frame_size));
}

// Frame sizes: VGA and 1080p YUY2, a 12-megapixel 8-bit raw frame.
BENCHMARK(BM_assembly_direct_bulk)->Arg(640 * 480 * 2)->Arg(1920 * 1080 * 2)->Arg(4096 * 3000);
BENCHMARK(BM_assembly_direct_iso)->Arg(640 * 480 * 2)->Arg(1920 * 1080 * 2)->Arg(4096 * 3000);
BENCHMARK(BM_memcpy_payload)->Arg(640 * 480 * 2)->Arg(1920 * 1080 * 2)->Arg(4096 * 3000);

}  // namespace

BENCHMARK_MAIN();
