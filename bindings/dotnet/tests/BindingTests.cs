// Tests of the C# binding against the library and the simulated device, run
// by CTest with mono. Each test is a method; the program fails when one does.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using Orvane.Teds;

static class BindingTests
{
    const string WorkedImage = "64 80 34 41 0C 40 E2 01 64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00";
    const string WorkedId = "[14 3A 7F 1B 05 00 00 B6]";
    static readonly TimeSpan Long = TimeSpan.FromSeconds(60);

    static int Main(string[] args)
    {
        var tests = new Dictionary<string, Action>
        {
            {"DecodesImagesAndDs2430aDumps", DecodesImagesAndDs2430aDumps},
            {"RefusedCallsThrowTheLibrarysText", RefusedCallsThrowTheLibrarysText},
            {"QueriesTheSimulatedDeviceWithCallbacksOnTheLibrarysThread",
             QueriesTheSimulatedDeviceWithCallbacksOnTheLibrarysThread},
            {"QueriesThroughTheSerialEmulator", QueriesThroughTheSerialEmulator},
            {"DisposeDuringAQueryEndsItAndReleasesInAnyOrder", DisposeDuringAQueryEndsItAndReleasesInAnyOrder},
            {"AThrowingCallbackReachesTheCallerNotTheLibrary", AThrowingCallbackReachesTheCallerNotTheLibrary},
            {"CallbacksSurviveCollectionsDuringAQuery", CallbacksSurviveCollectionsDuringAQuery},
        };
        int failed = 0;
        foreach (var test in tests.Where(t => args.Length == 0 || args.Contains(t.Key)))
        {
            try
            {
                test.Value();
                Console.WriteLine("[ PASSED ] " + test.Key);
            }
            catch (Exception e)
            {
                ++failed;
                Console.WriteLine("[ FAILED ] " + test.Key + ": " + e);
            }
        }
        return failed == 0 ? 0 : 1;
    }

    static void Check(bool condition, string what)
    {
        if (!condition) throw new Exception("check failed: " + what);
    }

    static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Exception(what + ": expected <" + expected + ">, got <" + actual + ">");
    }

    static T Throws<T>(Action call, string what) where T : Exception
    {
        try { call(); }
        catch (T e) { return e; }
        throw new Exception(what + ": no " + typeof(T).Name);
    }

    static byte[] Hex(string hex) =>
        hex.Split(' ').Select(b => Convert.ToByte(b, 16)).ToArray();

    static void DecodesImagesAndDs2430aDumps()
    {
        var r = Teds.DecodeImage(WorkedImage);
        Check(r.Parsed && r.ParseError == null && r.Pages.Count == 0, "worked image parsed");
        var t = r.Transducer;
        Equal(123456u, t.BasicTeds.SerialNumber, "serial");
        Equal('B', t.BasicTeds.VersionLetter, "version letter");
        Equal("[00 00 00 00 00 00 00 00]", t.IdText, "id of a decoded image");
        Equal(23, t.Image.Count, "image bytes");
        var template = t.Templates.Single();
        Equal("2020-01-01", template.CalDateText, "cal date text");
        Equal(new DateTimeOffset(2020, 1, 1, 0, 0, 0, TimeSpan.Zero), template.CalDate, "cal date");
        Equal(0.010001269876111822, template.SensRef.Value, "sens ref");
        Check(template.DefaultFr == null && template.TfSp == null, "absent groups are null");
        Equal("ABC", template.CalInitials, "initials");

        var image = Hex(WorkedImage);
        var memory = new byte[32];
        Array.Copy(image, 8, memory, 1, image.Length - 8);
        int sum = image.Take(8).Sum(b => b) + memory.Sum(b => b);
        foreach (var good in new[] {true, false})
        {
            memory[0] = (byte)((0x100 - sum % 256 + (good ? 0 : 1)) % 256);
            var dump = Teds.DecodeDs2430a(image.Take(8).ToArray(), memory);
            Equal(good, dump.Pages.Single(), "page verdict");
            Equal(good ? "Compile: GOOD CHECKSUM" : "Compile: BAD CHECKSUM", dump.PageTexts.Single(), "page text");
            Equal(123456u, dump.Transducer.BasicTeds.SerialNumber, "dump serial");
        }

        var empty = Teds.DecodeImage(new byte[0]);
        Check(!empty.Parsed && empty.Transducer == null && empty.ParseError.Length > 0, "empty image");
        Throws<FormatException>(() => Teds.DecodeImage("6"), "odd hex");
        Throws<ArgumentNullException>(() => Teds.DecodeImage((byte[])null), "null image");
        Check(Teds.Version.Split('.').Length == 3, "version");
    }

    static void RefusedCallsThrowTheLibrarysText()
    {
        var cases = new Dictionary<string, Func<Query>>
        {
            {"orvane_teds_query_create: device is empty", () => Query.Create("")},
            {"orvane_teds_query_create: teds_mode 256 is not a TEDS mode (0 to 255)",
             () => Query.Create("SIM-DAQ", mode: 256)},
            {"orvane_teds_query_create_serial: port is empty", () => Query.CreateSerial("")},
        };
        foreach (var c in cases)
        {
            var e = Throws<TedsException>(() => c.Value(), c.Key);
            Equal(Status.InvalidArgument, e.Status, "status");
            Equal(c.Key, e.Message, "text");
        }
        var bad = Throws<SimulatedDeviceException>(() => SimulatedDevice.FromText("{"), "bad bench");
        Check(bad.Message.Length > 0, "the simulator's text");
    }

    // A bench named outside ASCII: the name crosses as UTF-8 both ways.
    static SimulatedDevice Bench(string name, int responseDelayMs = 0)
    {
        return SimulatedDevice.FromText("{\"name\": \"" + name + "\", \"address\": 7, \"responseDelayMs\": " +
            responseDelayMs + ", \"channels\": [{\"channel\": 2, \"relay\": {\"inboundMax\": 255, " +
            "\"outboundMax\": 255, \"protocol\": \"1W-RELAY 1.0\", \"vendor\": \"Simulated relay\"}, " +
            "\"devices\": [{\"rom\": \"14 3A 7F 1B 05 00 00 B6\", \"status\": \"FC\", " +
            "\"application\": \"64 80 34 41 0C 40 E2 01\", \"memory\": \"6F 64 90 0F F8 64 06 29 1C " +
            "FB 08 62 B4 45 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\"}]}]}");
    }

    static void QueriesTheSimulatedDeviceWithCallbacksOnTheLibrarysThread()
    {
        var texts = new List<string>();
        var transducers = new List<Transducer>();
        var threads = new HashSet<int>();
        int ended = -1;
        using (var sim = Bench("Messgerät Ω"))
        using (var query = Query.Create(sim.Name, sim.Address, sim.Channel, pollMs: 0))
        {
            Equal("Messgerät Ω", sim.Name, "name read back");
            query.SetCallbacks(
                t => { lock (threads) { threads.Add(Thread.CurrentThread.ManagedThreadId); transducers.Add(t); } },
                s => { lock (threads) texts.Add(s); },
                n => { lock (threads) ended = n; });
            var r = query.Run(Long);
            Check(!r.TimedOut, "not timed out");
            Equal(WorkedId, r.Transducers.Single().IdText, "id");
            Equal(0.010001269876111822, r.Transducers[0].Templates[0].SensRef.Value, "sens ref");
            Equal(1, r.Transducers[0].Nodes.Count, "nodes");
            lock (threads)
            {
                Check(r.Texts.SequenceEqual(texts), "the texts heard are the result's");
                Equal(r.Transducers[0].Report, transducers.Single().Report, "reported transducer");
                Equal(1, ended, "ended with one transducer");
                Check(!threads.Contains(Thread.CurrentThread.ManagedThreadId), "callbacks on the library's thread");
            }
            // A second run on the same handle, without callbacks.
            query.SetCallbacks();
            Equal(WorkedId, query.Run(Long).Transducers.Single().IdText, "second run");
        }
    }

    static void QueriesThroughTheSerialEmulator()
    {
        var program = Environment.GetEnvironmentVariable("TEDS_PROGRAM");
        if (string.IsNullOrEmpty(program)) throw new Exception("TEDS_PROGRAM is not set (CTest sets it)");
        var start = new ProcessStartInfo(program, "serial-emulator")
        {
            UseShellExecute = false, RedirectStandardOutput = true, RedirectStandardError = true,
        };
        QueryResult relay;
        using (var sim = new SimulatedDevice())
        using (var query = Query.Create(sim.Name, sim.Address, sim.Channel, pollMs: 0))
            relay = query.Run(Long);
        foreach (var baud in new uint[] {9600, 115200})
        {
            QueryResult serial;
            using (var emulator = Process.Start(start))
            {
                try
                {
                    var port = emulator.StandardOutput.ReadLine().Trim();
                    using (var query = Query.CreateSerial(port, baud))
                        serial = query.Run(Long);
                }
                finally
                {
                    emulator.Kill();
                    emulator.WaitForExit();
                }
            }
            Check(!serial.TimedOut, baud + ": not timed out");
            Equal("Transducers Found:\n  " + WorkedId + "\n", serial.Texts[0], baud + ": first text");
            Equal(relay.Transducers.Single().Report, serial.Transducers.Single().Report, baud + ": the relay path's report");
            Check(serial.Texts.SequenceEqual(relay.Texts.Skip(1)), baud + ": the relay path's texts after its protocol text");
        }
        var refused = Throws<TedsException>(() => Query.CreateSerial("COM3", 1200), "baud 1200");
        Equal("orvane_teds_query_create_serial_baud: baud 1200 is not a rate of the adapter (9600, 19200, 57600, 115200)",
              refused.Message, "baud 1200");

        using (var query = Query.CreateSerial("/nonexistent/ttyS9"))
        {
            var missing = query.Run(Long);
            Check(missing.Transducers.Count == 0 && missing.Texts[0].StartsWith(
                "OneWire Error: DS2480B on /nonexistent/ttyS9: cannot open the serial port: "), "missing port");
        }
    }

    static void DisposeDuringAQueryEndsItAndReleasesInAnyOrder()
    {
        // The device answers slowly and the relay is polled with a pause, so the
        // query is still under way when another thread stops or disposes it.
        foreach (var how in new[] {"stop", "dispose", "dispose with the device gone first"})
        {
            var sim = Bench("SLOW", responseDelayMs: 50);
            var query = Query.Create(sim.Name, sim.Address, sim.Channel, pollMs: 2000);
            var heard = new ManualResetEventSlim();
            query.SetCallbacks(onText: s => heard.Set());
            QueryResult result = null;
            Exception failure = null;
            var runner = new Thread(() => { try { result = query.Run(TimeSpan.FromMinutes(10)); } catch (Exception e) { failure = e; } });
            runner.Start();
            Check(heard.Wait(Long), how + ": the query began");
            if (how == "stop")
            {
                query.Stop();
            }
            else
            {
                if (how != "dispose") sim.Dispose();
                query.Dispose();
                query.Dispose();
            }
            runner.Join();
            sim.Dispose();
            Check(failure == null, how + ": the run ended without an exception: " + failure);
            // With the device gone first, the master may find it gone (its
            // handshake is refused) and end the query by itself before the
            // dispose reaches it: the callback that woke this thread is still
            // on its way out. Either way the run returns what came before.
            if (!(how == "dispose with the device gone first" && result.Stopped == StopReason.None))
                Equal(how == "stop" ? StopReason.Stop : StopReason.Dispose, result.Stopped, how);
            // The query needs several pauses of 2 s to reach its reports.
            Check(!result.TimedOut && result.Texts.Count >= 1 && !result.Texts.Any(t => t.StartsWith("Compile")),
                  how + ": the result holds what came before the end");
            if (how == "stop")
            {
                query.Dispose();
            }
            else
            {
                Throws<ObjectDisposedException>(() => query.Run(Long), how + ": a disposed query");
                Throws<ObjectDisposedException>(() => query.Start(), how + ": a disposed query");
            }
        }
    }

    static void AThrowingCallbackReachesTheCallerNotTheLibrary()
    {
        using (var sim = new SimulatedDevice())
        using (var query = Query.Create(sim.Name, sim.Address, sim.Channel, pollMs: 0))
        {
            var texts = new List<string>();
            TedsException inside = null;
            query.SetCallbacks(
                t =>
                {
                    inside = Throws<TedsException>(() => query.Dispose(), "Dispose inside a callback");
                    throw new InvalidOperationException("thrown by the callback");
                },
                s => { lock (texts) texts.Add(s); });
            var e = Throws<InvalidOperationException>(() => query.Run(Long), "the callback's exception");
            Equal("thrown by the callback", e.Message, "its message");
            Equal(Status.Busy, inside.Status, "Dispose inside a callback");
            Check(inside.Message.Contains("not allowed inside a query callback"), "with the library's text");
            lock (texts) Check(texts.Last().StartsWith("Compile: GOOD CHECKSUM"), "the query went on: " + texts.Last());
            // The exception was taken: the next run is clean, and the handle still works.
            query.SetCallbacks();
            Equal(WorkedId, query.Run(Long).Transducers.Single().IdText, "the next run");
        }
    }

    static void CallbacksSurviveCollectionsDuringAQuery()
    {
        using (var sim = new SimulatedDevice())
        {
            int heard = 0;
            for (int round = 0; round < 3; ++round)
            {
                // Nothing but the query itself holds the callbacks, and the
                // collector runs while they are called.
                var ended = new ManualResetEventSlim();
                var query = Query.Create(sim.Name, sim.Address, sim.Channel, pollMs: 0);
                query.SetCallbacks(t => Interlocked.Increment(ref heard), s => GC.Collect(),
                                   n => { GC.Collect(); ended.Set(); });
                query.Start();
                for (int i = 0; i < 6000 && !ended.IsSet; ++i)
                {
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                    ended.Wait(10);
                }
                Check(ended.IsSet, "the query ended");
                query = null;  // released by its finalizer
                GC.Collect();
                GC.WaitForPendingFinalizers();
            }
            Equal(3, heard, "transducers heard");
        }
    }
}
