// The preview's HTTP side against the driver on a simulated camera: the
// live view as multipart JPEGs (an MJPEG stream passed through as it came),
// the answers to bad requests, and a stop that ends a viewer's connection.
// The page itself is driven by tests/browser/preview_test.js.
// The project's headers before httplib's: the kernel stand-in's and the
// resolver's both define DELETE, and only this order compiles cleanly.
#include "capture_backend.h"
#include "img/img_type.h"
#include "preview_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <thread>

namespace {

using json = nlohmann::json;

struct preview_fixture {
  std::unique_ptr<tvcam::camera_backend> backend = tvcam::make_driver_backend();
  std::unique_ptr<tvcam::camera_session> session;
  std::unique_ptr<tvcam::preview_server> server;
  int port = 0;

  preview_fixture() {
    tvcam::camera_request request;
    request.camera_id = "plain";
    std::string error;
    bool refused = false;
    session = backend->open(request, &error, &refused);
    EXPECT_TRUE(session) << error;
    server.reset(new tvcam::preview_server(*backend, *session, "plain"));
    EXPECT_TRUE(server->start_stream(index_of(img::FOURCC_Y800), 0, &error)) << error;
    EXPECT_TRUE(server->listen(0, &port, &error)) << error;
  }
  ~preview_fixture() {
    server->stop();
    std::string error;
    EXPECT_TRUE(session->finish(&error)) << error;
  }
  size_t index_of(uint32_t fourcc) const {
    for (size_t i = 0; i < session->formats().size(); ++i) {
      if (session->formats()[i].fourcc == fourcc) return i;
    }
    return 0;
  }
};

// Reads the live view until `parts` JPEGs came; returns each part's body.
std::vector<std::string> read_parts(httplib::Client& client, size_t parts, std::string* content_type) {
  std::string stream;
  std::vector<std::string> bodies;
  client.Get("/stream.mjpg", [&](const httplib::Response& res) {
    *content_type = res.get_header_value("Content-Type");
    return true;
  }, [&](const char* data, size_t length) {
    stream.append(data, length);
    // Each part: --boundary, headers with Content-Length, blank line, body.
    for (;;) {
      const size_t head_end = stream.find("\r\n\r\n");
      const size_t length_at = stream.find("Content-Length: ");
      if (head_end == std::string::npos || length_at == std::string::npos || length_at > head_end) break;
      const size_t size = std::stoul(stream.substr(length_at + 16));
      if (stream.size() < head_end + 4 + size + 2) break;
      bodies.push_back(stream.substr(head_end + 4, size));
      stream.erase(0, head_end + 4 + size + 2);
    }
    return bodies.size() < parts;
  });
  return bodies;
}

TEST(TvcamPreview, TheLiveViewIsJpegPartsAndAnMjpegStreamPassesThrough) {
  preview_fixture f;
  httplib::Client client("127.0.0.1", f.port);
  client.set_read_timeout(20, 0);
  std::string type;
  std::vector<std::string> parts = read_parts(client, 2, &type);
  EXPECT_EQ(type, "multipart/x-mixed-replace; boundary=tvcamframe");
  ASSERT_EQ(parts.size(), 2u);
  for (const std::string& p : parts) EXPECT_EQ(p.substr(0, 2), "\xFF\xD8");

  // Switching to MJPG restarts the stream; its frames are shown as they came.
  auto res = client.Put("/api/formats", json{{"index", f.index_of(img::FOURCC_MJPG)}}.dump(), "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  res = client.Get("/api/stats");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body)["format"]["format"], "MJPG");
  parts = read_parts(client, 1, &type);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(parts[0].substr(parts[0].size() - 2), "\xFF\xD9");

  res = client.Get("/api/snapshot.png");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body.substr(1, 3), "PNG");
}

TEST(TvcamPreview, BadRequestsGetAClearHttpError) {
  preview_fixture f;
  httplib::Client client("127.0.0.1", f.port);
  struct {
    const char* method;
    const char* path;
    const char* body;
    int status;
    const char* message;
  } const cases[] = {
      {"GET", "/nothing/here", "", 404, "no such page: /nothing/here"},
      {"GET", "/api/props/frobnicate", "", 404, "unknown property 'frobnicate'"},
      {"GET", "/api/props/pan", "", 404, "the camera has no pan control"},
      {"PUT", "/api/props/brightness", "{\"value\": ", 400, "the body is not JSON"},
      {"PUT", "/api/props/brightness", "[1]", 400, "the body must be a JSON object"},
      {"PUT", "/api/props/brightness", "{\"value\": 1.5}", 400, "expected {\"value\": an integer"},
      {"PUT", "/api/props/brightness", "{\"value\": \"bright\"}", 400, "bad value 'bright'"},
      {"PUT", "/api/props/brightness", "{\"value\": 256}", 422, "256 is out of range for brightness: 0..255"},
      {"PUT", "/api/props/brightness", "{\"value\": \"auto\"}", 422, "brightness has no automatic mode"},
      {"PUT", "/api/props/firmware_revision", "{\"value\": 1}", 422, "firmware_revision is read-only"},
      {"PUT", "/api/formats", "{\"index\": 99}", 422, "no format 99"},
      {"PUT", "/api/formats", "{\"index\": 0, \"fps\": 7}", 422, "7 fps is not offered; offered: Y800 640x480"},
      {"PUT", "/api/sets", "{\"load\": true}", 422, "the camera has no named default sets"},
  };
  for (const auto& c : cases) {
    const httplib::Result res = std::string(c.method) == "GET" ? client.Get(c.path)
                                                              : client.Put(c.path, c.body, "application/json");
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(res->status, c.status) << c.path << " " << c.body << ": " << res->body;
    const json answer = json::parse(res->body, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << res->body;
    EXPECT_NE(answer.value("error", "").find(c.message), std::string::npos) << res->body;
  }
  // A refused value leaves the property as it was, and the answer says so.
  auto res = client.Put("/api/props/brightness", "{\"value\": 300}", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body)["property"]["value"], 128);
  res = client.Put("/api/props/brightness", "{\"value\": \"max\"}", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body)["value"], 255);
}

TEST(TvcamPreview, StoppingEndsAViewersConnection) {
  preview_fixture f;
  httplib::Client client("127.0.0.1", f.port);
  client.set_read_timeout(20, 0);
  size_t received = 0;
  std::thread stopper;
  // The viewer stops the server from within its own connection once frames flow.
  const httplib::Result res = client.Get("/stream.mjpg", [&](const char*, size_t length) {
    received += length;
    if (received > 100000 && !stopper.joinable()) stopper = std::thread([&] { f.server->stop(); });
    return true;
  });
  ASSERT_TRUE(stopper.joinable());
  stopper.join();
  EXPECT_GT(received, 100000u);
}

}  // namespace
