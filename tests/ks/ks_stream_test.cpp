// The stream queue: the leading edge and its clones, buffers returning to
// the client once nothing holds them, with the header as the driver left
// it; cancellation at STOP; misuse reports; and a producer on several
// threads at DISPATCH_LEVEL.
#include <thread>

#include "toy_driver.h"

using namespace kstandin;

namespace {

// What a camera does to get the next buffer: the leading edge, locked, is
// cloned and advanced; the clone is the buffer.
PKSSTREAM_POINTER take_buffer(PKSPIN pin) {
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (edge == nullptr) return nullptr;
  PKSSTREAM_POINTER clone = nullptr;
  if (!NT_SUCCESS(KsStreamPointerClone(edge, nullptr, 0, &clone))) return nullptr;
  if (NT_SUCCESS(KsStreamPointerAdvance(edge))) KsStreamPointerUnlock(edge, FALSE);
  return clone;
}

// Fills a buffer with its mark and hands it back.
void finish_buffer(PKSSTREAM_POINTER clone, ULONG mark) {
  memset(clone->OffsetOut.Data, (int)(mark & 0xFF), clone->OffsetOut.Count);
  clone->StreamHeader->DataUsed = mark;
  clone->StreamHeader->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  KsStreamPointerDelete(clone);
}

}  // namespace

TEST_F(ks_fixture, buffers_return_once_no_stream_pointer_holds_them) {
  ks_pin* pin = create_pin();
  PKSPIN object = ks_pin_object(pin);
  EXPECT_EQ(ks_queue_read(pin, 32, false), STATUS_INVALID_DEVICE_STATE);  // in STOP
  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(object, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  uint64_t first = 0;
  EXPECT_EQ(ks_queue_read(pin, 32, true, &first), STATUS_PENDING);
  ks_queue_read(pin, 0, false);
  ks_queue_read(pin, 48, false);
  EXPECT_EQ(toy::g_process_calls, 0);  // processing in RUN only

  // The leading edge on the first buffer; its clone keeps the buffer after
  // the edge moves on.
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(object, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(edge, nullptr);
  EXPECT_EQ(edge->StreamHeader->Size, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
  EXPECT_EQ(edge->OffsetOut.Count, 32u);
  EXPECT_EQ(edge->OffsetOut.Data, edge->StreamHeader->Data);
  PKSSTREAM_POINTER held = nullptr;
  ASSERT_EQ(KsStreamPointerClone(edge, nullptr, 0, &held), STATUS_SUCCESS);
  ASSERT_EQ(KsStreamPointerAdvance(edge), STATUS_SUCCESS);
  EXPECT_EQ(edge->StreamHeader->Data, nullptr);  // the buffer without data
  ASSERT_EQ(KsStreamPointerAdvance(edge), STATUS_SUCCESS);  // passing it returns it
  auto done = ks_take_completed(pin, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].id, first + 1);
  EXPECT_EQ(ks_outstanding_reads(pin), 2u);
  ASSERT_EQ(KsStreamPointerAdvance(edge), STATUS_DEVICE_NOT_READY);  // end of the queue
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(object, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  done = ks_take_completed(pin, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].id, first + 2);

  // The held buffer returns with its header as left and its status.
  auto* info = reinterpret_cast<PKS_FRAME_INFO>(held->StreamHeader + 1);
  info->PictureNumber = 41;
  info->dwFrameFlags = KS_VIDEO_FLAG_P_FRAME;
  held->StreamHeader->Duration = 333333;
  held->StreamHeader->PresentationTime.Time = 5;
  KsStreamPointerSetStatusCode(held, STATUS_DEVICE_DATA_ERROR);
  finish_buffer(held, 7);
  done = ks_take_completed(pin, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].id, first);
  EXPECT_EQ(done[0].status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(done[0].header.DataUsed, 7u);
  EXPECT_EQ(done[0].header.Duration, 333333);
  EXPECT_EQ(done[0].header.PresentationTime.Time, 5);
  EXPECT_EQ(done[0].header.OptionsFlags, (ULONG)KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
  ASSERT_TRUE(done[0].has_frame_info);
  EXPECT_EQ(done[0].frame_info.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
  EXPECT_EQ(done[0].frame_info.PictureNumber, 41);
  EXPECT_EQ(done[0].frame_info.dwFrameFlags, (DWORD)KS_VIDEO_FLAG_P_FRAME);
  EXPECT_EQ(done[0].data, std::vector<uint8_t>(32, 7));
  EXPECT_EQ(ks_outstanding_reads(pin), 0u);

  // In RUN every arriving buffer calls Process.
  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ks_queue_read(pin, 16, false);
  ks_queue_read(pin, 16, false);
  EXPECT_EQ(toy::g_process_calls, 2);
}

TEST_F(ks_fixture, stop_cancels_free_buffers_and_asks_holders_to_let_go) {
  ks_pin* pin = create_pin();
  PKSPIN object = ks_pin_object(pin);
  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 4; ++i) ks_queue_read(pin, 8, false);
  PKSSTREAM_POINTER plain = take_buffer(object);
  static int cancel_calls;
  cancel_calls = 0;
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(object, KSSTREAM_POINTER_STATE_LOCKED);
  PKSSTREAM_POINTER with_callback = nullptr;
  ASSERT_EQ(KsStreamPointerClone(
                edge,
                [](PKSSTREAM_POINTER clone) {
                  ++cancel_calls;
                  KsStreamPointerSetStatusCode(clone, STATUS_CANCELLED);
                  KsStreamPointerDelete(clone);
                },
                16, &with_callback),
            STATUS_SUCCESS);
  ASSERT_NE(with_callback->Context, nullptr);
  KsStreamPointerAdvance(edge);
  KsStreamPointerUnlock(edge, FALSE);

  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(cancel_calls, 1);
  auto done = ks_take_completed(pin, 3);
  ASSERT_EQ(done.size(), 3u);  // two never touched, one cancelled by its holder
  for (const auto& read : done) EXPECT_EQ(read.status, STATUS_CANCELLED);
  EXPECT_EQ(ks_outstanding_reads(pin), 1u);
  finish_buffer(plain, 3);
  done = ks_take_completed(pin, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].status, STATUS_SUCCESS);
  EXPECT_EQ(done[0].header.DataUsed, 3u);
}

TEST_F(ks_fixture, stream_pointer_misuse_is_reported) {
  ks_pin* pin = create_pin();
  PKSPIN object = ks_pin_object(pin);
  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ks_queue_read(pin, 8, false);
  ks_queue_read(pin, 8, false);

  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(object, KSSTREAM_POINTER_STATE_UNLOCKED);
  EXPECT_EQ(KsStreamPointerAdvance(edge), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(tvtest::take_violation("stream_pointer_not_locked"));
  KsStreamPointerDelete(edge);
  EXPECT_TRUE(tvtest::take_violation("stream_pointer_invalid"));

  PKSSTREAM_POINTER clone = take_buffer(object);
  ASSERT_NE(clone, nullptr);
  KIRQL irql;
  KeRaiseIrql(HIGH_LEVEL, &irql);
  KsStreamPointerSetStatusCode(clone, STATUS_SUCCESS);
  KeLowerIrql(irql);
  EXPECT_TRUE(tvtest::take_violation("stream_pointer_at_wrong_irql"));
  KsStreamPointerDelete(clone);
  KsStreamPointerDelete(clone);
  EXPECT_TRUE(tvtest::take_violation("stream_pointer_double_delete"));
  KsStreamPointerSetStatusCode(clone, STATUS_SUCCESS);
  EXPECT_TRUE(tvtest::take_violation("stream_pointer_use_after_delete"));

  // A clone never deleted: reported at close, its buffer cancelled.
  PKSSTREAM_POINTER leaked = take_buffer(object);
  ASSERT_NE(leaked, nullptr);
  ks_close_filter(filter_);
  EXPECT_TRUE(tvtest::take_violation("stream_pointer_leaked"));
}

TEST_F(ks_fixture, producers_on_several_threads_return_every_buffer_once) {
  constexpr int kThreads = 4;
  constexpr int kBuffers = 400;
  ks_pin* pin = create_pin();
  PKSPIN object = ks_pin_object(pin);
  ASSERT_EQ(ks_set_pin_state(pin, KSSTATE_RUN), STATUS_SUCCESS);
  std::vector<uint64_t> ids;
  for (int i = 0; i < kBuffers; ++i) {
    uint64_t id = 0;
    ks_queue_read(pin, 24, i % 2 == 0, &id);
    ids.push_back(id);
  }
  // Buffers are taken under one spin lock, as a camera's assembly does, and
  // filled and returned outside it, in any order.
  static KSPIN_LOCK take_lock;
  KeInitializeSpinLock(&take_lock);
  std::atomic<ULONG> next_mark{1};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&] {
      for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&take_lock, &irql);
        PKSSTREAM_POINTER clone = take_buffer(object);
        KeReleaseSpinLockFromDpcLevel(&take_lock);
        if (clone == nullptr) {
          KeLowerIrql(irql);
          return;
        }
        finish_buffer(clone, next_mark++);
        KeLowerIrql(irql);
      }
    });
  }
  for (auto& producer : producers) producer.join();

  auto done = ks_take_completed(pin, kBuffers);
  ASSERT_EQ(done.size(), (size_t)kBuffers);
  std::vector<bool> seen_id(kBuffers + 1, false);
  std::vector<bool> seen_mark(kBuffers + 1, false);
  for (const auto& read : done) {
    ASSERT_LE(read.id, (uint64_t)kBuffers);
    EXPECT_FALSE(seen_id[read.id]);
    seen_id[read.id] = true;
    const ULONG mark = read.header.DataUsed;
    ASSERT_TRUE(mark >= 1 && mark <= (ULONG)kBuffers);
    EXPECT_FALSE(seen_mark[mark]);
    seen_mark[mark] = true;
    EXPECT_EQ(read.data, std::vector<uint8_t>(24, (uint8_t)(mark & 0xFF)));
    EXPECT_EQ(read.status, STATUS_SUCCESS);
  }
  EXPECT_EQ(ks_outstanding_reads(pin), 0u);
}
