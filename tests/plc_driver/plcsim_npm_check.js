// Reads and writes tags of a running zqplcsim with an independent
// EtherNet/IP client, the st-ethernet-ip package vendored under
// third_party/st-ethernet-ip. Usage:
//   NODE_PATH=third_party/st-ethernet-ip/node_modules \
//   node plcsim_npm_check.js ADDRESS connected|unconnected
// Prints one "OK <what>" or "FAIL <what>: <why>" line per check; exit code 0
// when every check passed.
"use strict";
const { Controller, Tag, TagGroup } = require("st-ethernet-ip");

const addr = process.argv[2];
const connected = process.argv[3] !== "unconnected";
let failed = 0;

function check(what, cond, detail) {
    if (cond) {
        console.log("OK " + what);
    } else {
        failed++;
        console.log("FAIL " + what + ": " + detail);
    }
}

async function main() {
    const plc = new Controller(connected, { unconnectedSendTimeout: 2000 });
    plc.state.timeout_sp = 5000;
    await plc.connect(addr, 0);
    check("connect", true, "");
    check("identity name", plc.properties.name === "ZQ Logix Simulator", plc.properties.name);
    check("run mode", plc.properties.run === true, JSON.stringify(plc.properties.status));
    const names = plc.tagList.map((t) => t.name);
    check("tag list", names.includes("Counter") && names.includes("Data"), names.join(","));

    const counter = new Tag("Counter");
    await plc.readTag(counter);
    check("read DINT", counter.value === 42, counter.value);
    counter.value = -123456;
    await plc.writeTag(counter);
    const counter2 = new Tag("Counter");
    await plc.readTag(counter2);
    check("write DINT", counter2.value === -123456, counter2.value);

    const temp = new Tag("Temp");
    await plc.readTag(temp);
    check("read REAL", Math.abs(temp.value - 21.5) < 1e-6, temp.value);
    temp.value = 99.25;
    await plc.writeTag(temp);
    const temp2 = new Tag("Temp");
    await plc.readTag(temp2);
    check("write REAL", Math.abs(temp2.value - 99.25) < 1e-6, temp2.value);

    const flag = new Tag("Flag");
    await plc.readTag(flag);
    check("read BOOL", flag.value === false, flag.value);
    flag.value = true;
    await plc.writeTag(flag);
    const flag2 = new Tag("Flag");
    await plc.readTag(flag2);
    check("write BOOL", flag2.value === true, flag2.value);

    const el = new Tag("Data[7]");
    await plc.readTag(el);
    check("read array element", Math.abs(el.value - 7) < 1e-6, el.value);
    el.value = 3.5;
    await plc.writeTag(el);
    const el2 = new Tag("Data[7]");
    await plc.readTag(el2);
    check("array element", Math.abs(el2.value - 3.5) < 1e-6, el2.value);

    // The whole 400-element array is larger than one reply: the client has
    // to fall back to fragmented reads.
    const arr = new Tag("Data", null, null, 0, 1, 400);
    await plc.readTag(arr, 400);
    const ok = Array.isArray(arr.value) && arr.value.length === 400 &&
        Math.abs(arr.value[7] - 3.5) < 1e-6 && Math.abs(arr.value[399] - 399) < 1e-6;
    check("array fragmented read", ok,
          Array.isArray(arr.value) ? arr.value.length + " values, [399]=" + arr.value[399]
                                   : String(arr.value));

    const ints = new Tag("Ints", null, null, 0, 1, 10);
    await plc.readTag(ints, 10);
    check("DINT array read", Array.isArray(ints.value) && ints.value[9] === 9,
          JSON.stringify(ints.value));

    // The whole array packed with a scalar into one Multiple Service Packet:
    // its reply does not fit, so the array's part comes back as a partial
    // transfer and the client fetches the rest with fragmented reads.
    const group = new TagGroup();
    const garr = new Tag("Data", null, null, 0, 1, 400);
    const gcount = new Tag("Counter");
    // This client takes a partial answer only as the packet's last reply.
    group.add(gcount);
    group.add(garr);
    await plc.readTagGroup(group);
    const gok = Array.isArray(garr.value) && garr.value.length === 400 &&
        Math.abs(garr.value[7] - 3.5) < 1e-6 && Math.abs(garr.value[399] - 399) < 1e-6;
    check("packed array read", gok && gcount.value === -123456,
          (Array.isArray(garr.value) ? garr.value.length + " values, [399]=" + garr.value[399]
                                     : String(garr.value)) + ", Counter=" + gcount.value);

    await plc.disconnect();
    check("disconnect", true, "");
}

main().then(
    () => process.exit(failed ? 1 : 0),
    (e) => {
        console.log("FAIL exception: " + (e && e.message ? e.message : e) +
                    (e && e.generalStatusCode !== undefined ? " status " + e.generalStatusCode : ""));
        process.exit(1);
    });
