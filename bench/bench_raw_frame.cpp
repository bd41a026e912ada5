// One whole raw frame through the frame worker of a raw-sensor camera: the
// automatic cycle (the features' settings, the loops, the result) and the
// transform hand-over, at 1920 x 1080 "BA81" to RGB24, against the bare
// img::transform of the same frame with the same parameters. The frame is
// the simulated 0x8406 sensor looking at the colour chart. Both cases copy
// the raw frame first (the pipe balances it in place); `overhead` is the
// worker's time over the bare transform's, measured in the same loop.
#include <benchmark/benchmark.h>

#include <kstandin/testing_io.h>

#include <time.h>
#include <memory>
#include <cstring>
#include <vector>

#include "cameras/raw_sensor_pipeline.h"
#include "features/camera_features.h"
#include "img/cpu_features.h"
#include "kernel/pool_tags.h"
#include "sim/raw_sensor_camera.h"
#include "uvc/uvc_camera.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

class null_sink : public frame_sink {
 public:
  PVOID acquire_frame_buffer(PUCHAR*, ULONG*) override { return nullptr; }
  void frame_done(PVOID, NTSTATUS, ULONGLONG, ULONGLONG, ULONG) override {}
};

// A control record as the camera's probe would leave it.
uvc_control_record record(ULONG length, LONG minimum, LONG maximum, LONG current) {
  uvc_control_record r = {};
  r.length = length;
  r.has_range = 1;
  set_control_value(&r, r.minimum, ULONG(minimum));
  set_control_value(&r, r.maximum, ULONG(maximum));
  set_control_value(&r, r.current, ULONG(current));
  return r;
}

// The sensor's raw frame of the chart at a mid exposure.
std::vector<uint8_t> chart_frame() {
  const std::vector<sim::raw_camera_model> models = sim::raw_camera_models();
  const sim::raw_camera_model* model = sim::find_raw_camera_model(models, "8406-colour");
  sim::sensor_model sensor(model->sensor, sim::make_scene("chart"), model->light);
  sensor.write_exposure_us(9000, false);
  sim::readout r;
  r.width = kWidth;
  r.height = kHeight;
  r.y = (model->sensor.height - kHeight) / 2 & ~1u;
  std::vector<uint8_t> frame;
  sensor.render(r, 8, 1, frame);
  return frame;
}

struct worker_setup {
  null_sink sink;
  PDRIVER_OBJECT bus = kstandin::create_driver_object("bench_bus");
  PDEVICE_OBJECT device = kstandin::create_physical_device(bus, "BENCH\\RAW_FRAME");
  uvc_camera* camera = new (NonPagedPoolNx, pool_tag::objects) uvc_camera(device, &sink);
  std::unique_ptr<raw_sensor_pipeline> pipeline{new raw_sensor_pipeline()};
  std::vector<uint8_t> raw = chart_frame();
  std::vector<uint8_t> source = raw;
  std::vector<uint8_t> output;
  img::img_descriptor src = {}, dst = {};
  ULONGLONG frame = 0;

  worker_setup() {
    static_cast<img::img_type&>(src) = img::make_img_type(img::FOURCC_BGGR8, kWidth, kHeight);
    src.data = source.data();
    static_cast<img::img_type&>(dst) = img::make_img_type(img::FOURCC_RGB24, kWidth, kHeight);
    output.resize(size_t(dst.buffer_length));
    dst.data = output.data();
    const uvc_control_record exposure = record(4, 20, 33333, 9000);
    const uvc_control_record gain = record(2, 64, 256, 64);
    pipeline->sensor().bind(&exposure, &gain);
    pipeline->create();
    feature_setup setup = {};
    setup.colour = true;
    setup.white_balance_flags = white_balance_flag::raw_balance;
    setup.pattern = img::bayer_bggr;
    setup.sensor = &pipeline->sensor();
    setup.max_width = kWidth;
    setup.max_height = kHeight;
    attach_camera_features(camera, &pipeline->features(), setup);
    pipeline->start(camera, device, dst, src);
  }
  ~worker_setup() {
    pipeline->stop();
    pipeline.reset();
    delete camera;
    kstandin::drain_work_queues();
    kstandin::delete_physical_device(device);
    kstandin::delete_driver_object(bus);
  }

  // What transform_frame does with a raw frame.
  void worker_frame() {
    memcpy(source.data(), raw.data(), raw.size());
    img::auto_result result = {};
    pipeline->auto_cycle(src, ++frame, &result);
    pipeline->transform(dst, src, 0, raw_frame_switches{}, img::get_cpu_features());
  }
};

// The pipe alone, with the parameters the worker used for its last frame.
void bare_transform(worker_setup& s, img::transform_params& params) {
  memcpy(s.source.data(), s.raw.data(), s.raw.size());
  img::transform(s.dst, s.src, params, nullptr);
}

std::unique_ptr<img::transform_params> last_params(worker_setup& s) {
  s.worker_frame();
  std::unique_ptr<img::transform_params> params(
      new img::transform_params(s.pipeline->parameters()));
  return params;
}

void finish(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void whole_frame_on_the_worker(benchmark::State& state) {
  worker_setup s;
  for (auto _ : state) {
    s.worker_frame();
    benchmark::ClobberMemory();
  }
  finish(state);
}

void bare_pipe(benchmark::State& state) {
  worker_setup s;
  std::unique_ptr<img::transform_params> params = last_params(s);
  for (auto _ : state) {
    bare_transform(s, *params);
    benchmark::ClobberMemory();
  }
  finish(state);
}

// Seconds of processor time this thread has used: unlike the wall clock,
// not stretched by other work on a shared machine.
double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Both in the same loop, alternating, so that they share the machine's
// state, timed in thread processor time; the manual time is the worker's.
void worker_over_bare(benchmark::State& state) {
  worker_setup s;
  std::unique_ptr<img::transform_params> params = last_params(s);
  double worker = 0, bare = 0;
  for (auto _ : state) {
    const double t0 = thread_seconds();
    s.worker_frame();
    const double t1 = thread_seconds();
    bare_transform(s, *params);
    const double t2 = thread_seconds();
    worker += t1 - t0;
    bare += t2 - t1;
    state.SetIterationTime(t1 - t0);
  }
  state.counters["bare_ms"] = 1000 * bare / double(state.iterations());
  state.counters["worker_ms"] = 1000 * worker / double(state.iterations());
  state.counters["overhead"] = bare > 0 ? worker / bare - 1 : 0;
  finish(state);
}

BENCHMARK(whole_frame_on_the_worker)->Unit(benchmark::kMillisecond);
BENCHMARK(bare_pipe)->Unit(benchmark::kMillisecond);
BENCHMARK(worker_over_bare)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
