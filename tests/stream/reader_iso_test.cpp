// iso_reader against the simulated camera: 40-packet requests stay in
// flight, every packet with data is one callback in packet order, and a
// request of nothing but failed packets reports each loss and goes straight
// back out. Empty packets, buffers kept for several packets and failed
// transfers: reader_soak_test.
#include <gtest/gtest.h>

#include <kstandin/testing.h>

#include <atomic>

#include "reader_test_support.h"

namespace {

using namespace readertest;

class IsoReader : public reader_fixture {};

TEST_F(IsoReader, FortyPacketRequestsStayInFlightAndCarryEveryPacketInOrder) {
  USBD_PIPE_INFORMATION* p = plug_iso_camera(2);  // 512-byte packets
  ASSERT_NE(p, nullptr);
  iso_reader* r = iso_reader::create(pdo, consumer::callback, &sink);
  reader = r;
  ASSERT_TRUE(start8(p));
  for (const auto& t : transfers()) EXPECT_EQ(t.requested_length, 40u * 512u);

  const kstandin::pool_snapshot snapshot = kstandin::take_pool_snapshot();
  std::vector<std::vector<uint8_t>> sent;
  for (uint32_t seq = 0; seq < 1000; ++seq) {
    sent.push_back(block_bytes(seq, 4 + (seq * 7919u) % 509u));
    camera->queue_in_data(kStreamEndpoint, sent.back());
  }
  ASSERT_TRUE(sink.wait_for(1000));
  ASSERT_TRUE(eventually([&] { return in_flight() == 8; }));
  EXPECT_EQ(kstandin::allocations_since(snapshot), 0u);
  const auto got = sink.deliveries();
  for (uint32_t i = 0; i < 1000; ++i) {
    EXPECT_EQ(got[i].bytes, sent[i]) << "packet " << i;
    EXPECT_EQ(got[i].irql, DISPATCH_LEVEL);
  }

  // A high-bandwidth setting carries three transactions of 1024 per interval.
  EXPECT_EQ(r->stop(), STATUS_SUCCESS);
  ASSERT_EQ(device->select_alternate_setting(1, 4), STATUS_SUCCESS);
  ASSERT_TRUE(start8(pipe(1)));
  EXPECT_EQ(r->packet_size(), 3072u);
  EXPECT_EQ(transfers().back().requested_length, 40u * 3072u);
}

// A device object above the simulated PDO that passes every request down and
// fails every packet of the first isochronous transfer that carried data.
class failing_filter {
 public:
  explicit failing_filter(PDEVICE_OBJECT lower) : lower_(lower) {
    driver_ = kstandin::create_driver_object("\\Driver\\readertest_filter");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT d, PIRP irp) {
      auto* self = *static_cast<failing_filter**>(d->DeviceExtension);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, &failing_filter::completed, self, TRUE, TRUE, TRUE);
      return IoCallDriver(self->lower_, irp);
    };
    IoCreateDevice(driver_, sizeof(this), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    *static_cast<failing_filter**>(device_->DeviceExtension) = this;
    device_->StackSize = CCHAR(lower->StackSize + 1);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~failing_filter() {
    IoDeleteDevice(device_);
    kstandin::delete_driver_object(driver_);
  }
  PDEVICE_OBJECT device() const { return device_; }
  std::atomic<int> failed{0};

 private:
  static NTSTATUS completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    auto& t = urb->UrbIsochronousTransfer;
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER &&
        NT_SUCCESS(irp->IoStatus.Status) && t.TransferBufferLength != 0 &&
        static_cast<failing_filter*>(context)->failed++ == 0) {
      for (ULONG i = 0; i < t.NumberOfPackets; ++i) t.IsoPacket[i].Status = USBD_STATUS_XACT_ERROR;
    }
    return STATUS_SUCCESS;  // completion continues upwards
  }

  PDEVICE_OBJECT lower_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

class IsoReaderFiltered : public reader_fixture {
 protected:
  std::unique_ptr<failing_filter> filter;  // outlives the reader (deleted in TearDown)
};

TEST_F(IsoReaderFiltered, RequestWhosePacketsAllFailedReportsTheLossesAndGoesBackOut) {
  USBD_PIPE_INFORMATION* p = plug_iso_camera(2);
  filter = std::make_unique<failing_filter>(pdo);
  reader = iso_reader::create(filter->device(), consumer::callback, &sink);
  ASSERT_TRUE(start8(p));

  queue_together({block_bytes(0, 64), block_bytes(1, 64), block_bytes(2, 64)});
  ASSERT_TRUE(eventually([&] { return filter->failed == 1 && transfers().size() == 9; }));
  ASSERT_TRUE(eventually([&] { return in_flight() == 8; }));
  queue_blocks(3, 1, 64);
  ASSERT_TRUE(sink.wait_for(1));
  ASSERT_EQ(sink.deliveries().size(), 1u);
  EXPECT_EQ(sink.deliveries()[0].bytes, block_bytes(3, 64));
  EXPECT_EQ(sink.losses(), size_t(iso_reader::packets_per_request));
}

}  // namespace
