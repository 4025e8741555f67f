// The real program on the serial device that -s names, as a board with
// several props names each by its stable name under /dev/serial/by-id/.
#include <poll.h>

#include <thread>

#include "player_fixture.h"

namespace {

const std::string kById = fs::path(kFirstDevice).parent_path().string() + "/serial/by-id/";

// Whether nothing came to `device` within 300 ms.
bool nothingCameTo(const VirtualSerial& device) {
    pollfd readable{device.controller(), POLLIN, 0};
    return poll(&readable, 1, 300) == 0;
}

TEST_F(Player, NamedDeviceIsTheOnlyOneTriedWhereverTheSettingStands) {
    fs::create_directories(kById);
    const std::string door = kById + "usb-Arduino_Uno_95530343-if00";
    writeShow("show.txt", "0:open\n64:close\n");
    // The built-in devices are there too: they are never written to.
    VirtualSerial first(kFirstDevice);
    VirtualSerial second(kSecondDevice);
    struct Case {
        std::vector<std::string> words;
        bool doorThere;
        std::string out;
    };
    const Case cases[] = {
        {{"-s", door, "-b", "115200", "-f", "show.txt", "-d", "0"}, true, ""},
        {{"-b", "115200", "-f", "show.txt", "-d", "0", "-s", door}, true, ""},
        // The last of two counts, as with -r and -p.
        {{"-s", kSecondDevice, "-b", "115200", "-f", "show.txt", "-d", "0", "-s", door}, true, ""},
        // Not there: no other device in its place.
        {{"-b", "115200", "-s", door, "-f", "show.txt", "-d", "0"},
         false,
         "couldn't connect to serial\n"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<VirtualSerial> device;
        if (c.doorThere) {
            device = std::make_unique<VirtualSerial>(door);
        }
        RunOptions options;
        options.expectBytes = c.doorThere ? 11 : 0;
        RunResult result = runWith(c.words, device.get(), options);
        EXPECT_EQ(result.out, c.out) << c.words[0] << " " << c.words.back();
        EXPECT_EQ(result.status, c.out.empty() ? 0 : 1);
        EXPECT_EQ(result.received(), c.doorThere ? "open\nclose\n" : "");
        EXPECT_TRUE(nothingCameTo(first));
        EXPECT_TRUE(nothingCameTo(second));
    }
}

TEST_F(Player, TwoPlayersPlayTwoShowsToTwoDevicesAtOnce) {
    fs::create_directories(kById);
    const std::string door = kById + "usb-Arduino_Uno_95530343-if00";
    const std::string skull = kById + "usb-1a86_USB_Serial-if00-port0";
    writeShow("door.txt", "0:open\n1f4:close\n");
    writeShow("skull.txt", "0:jaw\nc8:eyes\n190:scream\n");
    VirtualSerial doorDevice(door);
    VirtualSerial skullDevice(skull);
    RunResult doorRun;
    RunOptions doorOptions;
    doorOptions.expectBytes = 11;
    std::thread doorPlayer([&] {
        doorRun = runWith({"-s", door, "-b", "115200", "-f", "door.txt", "-d", "0"}, &doorDevice,
                          doorOptions);
    });
    RunOptions skullOptions;
    skullOptions.expectBytes = 16;
    RunResult skullRun = runWith({"-b", "115200", "-f", "skull.txt", "-d", "0", "-s", skull},
                                 &skullDevice, skullOptions);
    doorPlayer.join();
    EXPECT_EQ(doorRun.status, 0);
    EXPECT_EQ(doorRun.received(), "open\nclose\n");
    EXPECT_EQ(skullRun.status, 0);
    EXPECT_EQ(skullRun.received(), "jaw\neyes\nscream\n");
}

}  // namespace
