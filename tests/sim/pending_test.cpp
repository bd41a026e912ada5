// Requests that do not complete at once: hanging and delayed control
// requests, IN transfers that wait for data and complete on the bus thread,
// their cancellation, aborts and unplugging, and seeded random faults.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "sim_client.h"

namespace {

using namespace simtest;
namespace uvc = sim::uvc;

// A class GET request on the interface, 2 << 8 as wValue.
void build_get(URB* urb, UCHAR request, USHORT index, PVOID buffer, ULONG length) {
  memset(urb, 0, sizeof *urb);
  UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE,
                        (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, request, 2 << 8, index, buffer, nullptr,
                        length, nullptr);
}

// A bulk or isochronous IN transfer sent with the test's own IRP, the way a
// reader does: the completion routine records where it ran and keeps the IRP.
struct in_transfer {
  PIRP irp = nullptr;
  std::vector<UCHAR> urb_storage;
  std::vector<UCHAR> buffer;
  KEVENT done;
  KIRQL completion_irql = 0xFF;
  int completion_order = -1;
  std::atomic<int>* order = nullptr;

  PURB urb() { return (PURB)urb_storage.data(); }

  static NTSTATUS completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* self = (in_transfer*)context;
    self->completion_irql = KeGetCurrentIrql();
    self->completion_order = (*self->order)++;
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  NTSTATUS send(PDEVICE_OBJECT pdo) {
    if (irp != nullptr) IoFreeIrp(irp);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = urb_irp(pdo, urb(), completed, this);
    return IoCallDriver(pdo, irp);
  }
  bool wait(unsigned ms) { return wait_signalled(&done, ms); }
  ~in_transfer() {
    if (irp != nullptr) IoFreeIrp(irp);
  }
};

class pending_test : public camera_fixture {
 protected:
  USBD_PIPE_INFORMATION configure(UCHAR alternate) {
    return select_streaming(pdo, camera->configuration_descriptor(), alternate);
  }
  USBD_PIPE_INFORMATION plug_bulk() {  // one bulk endpoint on alternate setting 0
    sim::uvc_camera_desc desc = sim::default_camera_desc();
    desc.iso_packet_sizes.clear();
    plug(desc);
    return configure(0);
  }
  void build_bulk(in_transfer* t, const USBD_PIPE_INFORMATION& pipe, ULONG length) {
    t->order = &order;
    t->urb_storage.assign(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), 0);
    t->buffer.assign(length, 0);
    UsbBuildInterruptOrBulkTransferRequest(
        t->urb(), (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe.PipeHandle,
        t->buffer.data(), nullptr, length, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
        nullptr);
  }
  std::atomic<int> order{0};
};

TEST_F(pending_test, delayed_and_hanging_control_requests_complete_later_or_when_cancelled_or_unplugged) {
  plug();
  camera->set_control_delay(20);
  SHORT value = 0x5555;
  URB urb;
  build_get(&urb, uvc::GET_MAX, 2 << 8, &value, 2);
  pending_irp delayed;
  send_ioctl(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, &delayed);
  EXPECT_EQ(delayed.call_status, STATUS_PENDING);
  ASSERT_TRUE(wait_for(&delayed));
  EXPECT_EQ(delayed.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(value, 64);
  auto log = camera->control_requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_GE(log[0].completed_at - log[0].submitted_at, 20u * 10000 / 2);  // delayed, not immediate
  camera->set_control_delay(0);

  camera->inject_control_fault(sim::control_fault::hang, 1);
  build_get(&urb, uvc::GET_CUR, 2 << 8, &value, 2);
  pending_irp p;
  send_ioctl(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, &p);
  EXPECT_EQ(p.call_status, STATUS_PENDING);
  EXPECT_FALSE(wait_for(&p, 30));
  EXPECT_EQ(camera->pending_control_requests(), 1u);
  EXPECT_TRUE(IoCancelIrp(p.irp));
  ASSERT_TRUE(wait_for(&p));
  EXPECT_EQ(p.iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(camera->pending_control_requests(), 0u);
  log = camera->control_requests();
  EXPECT_TRUE(log[1].cancelled);
  EXPECT_EQ(log[1].status, STATUS_CANCELLED);
  EXPECT_GE(log[1].cancelled_at, log[1].submitted_at);
  EXPECT_GE(log[1].completed_at, log[1].cancelled_at);

  // The fault was for one request: the next one is answered at once.
  EXPECT_EQ(uvc_request(pdo, uvc::GET_CUR, 2, 0, 2, &value, 2).status, STATUS_SUCCESS);

  // Unplugging fails what is still pending.
  camera->inject_control_fault(sim::control_fault::hang, 1);
  build_get(&urb, uvc::GET_CUR, 0, &value, 1);
  pending_irp q;
  send_ioctl(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, &q);
  ASSERT_EQ(q.call_status, STATUS_PENDING);
  bus.unplug(pdo);
  ASSERT_TRUE(wait_for(&q));
  EXPECT_EQ(q.iosb.Status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(pending_test, bulk_in_transfers_wait_for_data_complete_in_order_at_dispatch_level_or_fail) {
  const USBD_PIPE_INFORMATION pipe = plug_bulk();
  ASSERT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
  in_transfer t[5];
  for (auto& x : t) {
    build_bulk(&x, pipe, 8);
    EXPECT_EQ(x.send(pdo), STATUS_PENDING);
  }
  EXPECT_EQ(camera->pending_in_transfers(0x81), 5u);
  EXPECT_FALSE(t[0].wait(20));

  // A 12-byte block fills the first 8-byte transfer and the rest the second.
  camera->queue_in_data(0x81, std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  ASSERT_TRUE(t[0].wait(5000));
  ASSERT_TRUE(t[1].wait(5000));
  EXPECT_EQ(t[0].completion_irql, DISPATCH_LEVEL);
  EXPECT_EQ(t[0].completion_order, 0);
  EXPECT_EQ(t[1].completion_order, 1);
  EXPECT_EQ(t[0].urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 8u);
  EXPECT_EQ(t[1].urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
  EXPECT_EQ(t[1].buffer[0], 9);
  EXPECT_EQ(t[1].irp->IoStatus.Status, STATUS_SUCCESS);

  // The third is cancelled; a transfer error fails the fourth.
  EXPECT_FALSE(t[2].wait(20));
  EXPECT_TRUE(IoCancelIrp(t[2].irp));
  ASSERT_TRUE(t[2].wait(5000));
  EXPECT_EQ(t[2].irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(camera->pending_in_transfers(0x81), 2u);
  camera->fail_next_in_transfer(0x81, USBD_STATUS_BABBLE_DETECTED);
  ASSERT_TRUE(t[3].wait(5000));
  EXPECT_EQ(t[3].urb()->UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
  EXPECT_FALSE(NT_SUCCESS(t[3].irp->IoStatus.Status));
  EXPECT_EQ(t[3].completion_irql, DISPATCH_LEVEL);

  // The last is still waiting; aborting the pipe cancels it.
  EXPECT_FALSE(t[4].wait(20));
  EXPECT_EQ(pipe_request(pdo, URB_FUNCTION_ABORT_PIPE, pipe.PipeHandle), STATUS_SUCCESS);
  ASSERT_TRUE(t[4].wait(5000));
  EXPECT_EQ(t[4].irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(t[4].urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(camera->pipe_abort_count(), 1u);
}

TEST_F(pending_test, isochronous_transfers_fill_one_packet_per_queued_block) {
  plug();
  const USBD_PIPE_INFORMATION pipe = configure(2);  // 512-byte packets
  ASSERT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
  constexpr ULONG kPackets = 4;
  in_transfer t;
  t.order = &order;
  auto& iso = build_iso_in(&t.urb_storage, pipe.PipeHandle, kPackets, 512, &t.buffer)
                  ->UrbIsochronousTransfer;
  camera->queue_in_data(0x81, std::vector<uint8_t>(100, 0x11));
  camera->queue_in_data(0x81, std::vector<uint8_t>(600, 0x22));  // longer than a packet: cut
  ASSERT_EQ(t.send(pdo), STATUS_PENDING);
  ASSERT_TRUE(t.wait(5000));
  EXPECT_EQ(t.completion_irql, DISPATCH_LEVEL);
  EXPECT_EQ(iso.IsoPacket[0].Length, 100u);
  EXPECT_EQ(iso.IsoPacket[1].Length, 512u);
  EXPECT_EQ(iso.IsoPacket[2].Length, 0u);
  EXPECT_EQ(iso.TransferBufferLength, 612u);
  EXPECT_EQ(t.buffer[512], 0x22);

}

// Several threads send control requests, some of which hang or complete
// after a short delay, and cancel those that do not complete at once:
// every request completes exactly once, successfully or cancelled, and the
// device is left with nothing pending.
TEST_F(pending_test, concurrent_requests_and_cancels_each_complete_exactly_once) {
  plug();
  sim::fault_plan plan;
  plan.seed = 11;
  plan.hang_per_mille = 300;
  plan.delay_jitter_ms = 2;
  camera->set_fault_plan(plan);
  constexpr int kThreads = 4;
  constexpr int kRequests = 40;
  std::atomic<int> completions{0};
  std::atomic<int> bad{0};
  auto worker = [&](int seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < kRequests; ++i) {
      struct call {
        URB urb;
        KEVENT done;
        SHORT value = 0;
        std::atomic<int> completed{0};
      } c;
      KeInitializeEvent(&c.done, NotificationEvent, FALSE);
      build_get(&c.urb, uvc::GET_CUR, 2 << 8, &c.value, 2);
      // The IRP stays ours, so cancelling late is safe.
      PIRP irp = urb_irp(
          pdo, &c.urb,
          [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
            auto* self = (call*)context;
            self->completed++;
            KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
          },
          &c);
      if (IoCallDriver(pdo, irp) == STATUS_PENDING && !wait_signalled(&c.done, random() % 3)) {
        IoCancelIrp(irp);
      }
      if (!wait_signalled(&c.done, 5000)) {
        ++bad;  // never completed: the IRP cannot be freed either
        continue;
      }
      const NTSTATUS status = irp->IoStatus.Status;
      if (c.completed != 1 || (status != STATUS_SUCCESS && status != STATUS_CANCELLED)) ++bad;
      if (status == STATUS_CANCELLED && c.urb.UrbHeader.Status != USBD_STATUS_CANCELED) ++bad;
      ++completions;
      IoFreeIrp(irp);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, 100 + t);
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(completions.load(), kThreads * kRequests);
  EXPECT_TRUE(bus.settle());
  EXPECT_EQ(camera->pending_control_requests(), 0u);
  const auto log = camera->control_requests();
  EXPECT_EQ(log.size(), (size_t)(kThreads * kRequests));
  size_t cancelled = 0;
  for (const auto& r : log) {
    EXPECT_TRUE(r.completed);
    cancelled += r.cancelled;
  }
  EXPECT_GT(cancelled, 0u);  // the hanging ones at least
}

TEST(fault_plan, the_same_seed_gives_the_same_faults) {
  auto run = [](uint64_t seed) {
    sim::usb_bus bus;
    auto camera = sim::uvc_camera::create(sim::default_camera_desc());
    PDEVICE_OBJECT pdo = bus.plug(camera);
    sim::fault_plan plan;
    plan.seed = seed;
    plan.stall_per_mille = 200;
    plan.short_per_mille = 200;
    camera->set_fault_plan(plan);
    std::vector<int> outcome;
    for (int i = 0; i < 60; ++i) {
      SHORT value = 0;
      const auto r = uvc_request(pdo, uvc::GET_DEF, 2, 0, 2, &value, 2);
      outcome.push_back(r.usbd_status == USBD_STATUS_STALL_PID ? -1 : (int)r.transferred);
    }
    return outcome;
  };
  const auto first = run(7);
  EXPECT_EQ(first, run(7));
  EXPECT_NE(first, run(8));
  EXPECT_NE(std::count(first.begin(), first.end(), -1), 0);
  EXPECT_NE(std::count(first.begin(), first.end(), 1), 0);  // shortened
  EXPECT_NE(std::count(first.begin(), first.end(), 2), 0);
}

}  // namespace
