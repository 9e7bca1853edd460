// Decoding, queries and the simulated device over the library's C interface.
using System;
using System.Globalization;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Threading;

namespace Orvane.Teds
{
    /// <summary>Decoding without a bus, and the library's version.</summary>
    public static class Teds
    {
        /// <summary>The library's version text, e.g. "0.1.0".</summary>
        public static string Version
        {
            get
            {
                Native.Check(Native.orvane_teds_version(out IntPtr text));
                return Native.Text(text);
            }
        }

        /// <summary>Decodes a whole TEDS image.</summary>
        public static DecodeResult DecodeImage(byte[] image)
        {
            if (image == null) throw new ArgumentNullException(nameof(image));
            var status = Native.orvane_teds_decode_image(image, (UIntPtr)image.Length,
                                                         out DecodeResultHandle result);
            return Decoded(status, result);
        }

        /// <summary>Decodes a whole TEDS image given as hexadecimal text
        /// ("64 80 34 41 ..."; spaces are ignored).</summary>
        public static DecodeResult DecodeImage(string hex) => DecodeImage(Hex(hex, nameof(hex)));

        /// <summary>Assembles the image from a DS2430A's application register (8 bytes) and
        /// memory (pages of 32 bytes, byte 0 of each its checksum), gives each page's
        /// checksum verdict and decodes the image.</summary>
        public static DecodeResult DecodeDs2430a(byte[] application, byte[] memory)
        {
            if (application == null) throw new ArgumentNullException(nameof(application));
            if (memory == null) throw new ArgumentNullException(nameof(memory));
            var status = Native.orvane_teds_decode_ds2430a(
                application, (UIntPtr)application.Length, memory, (UIntPtr)memory.Length,
                out DecodeResultHandle result);
            return Decoded(status, result);
        }

        static DecodeResult Decoded(Status status, DecodeResultHandle result)
        {
            using (result)
            {
                Native.Check(status);
                return new DecodeResult(result.DangerousGetHandle());
            }
        }

        internal static byte[] Hex(string hex, string what)
        {
            if (hex == null) throw new ArgumentNullException(what);
            var digits = hex.Replace(" ", "");
            if (digits.Length % 2 != 0)
                throw new FormatException(what + ": not hexadecimal bytes (odd number of digits)");
            var bytes = new byte[digits.Length / 2];
            for (int i = 0; i < bytes.Length; ++i)
            {
                if (!byte.TryParse(digits.Substring(2 * i, 2), NumberStyles.AllowHexSpecifier,
                                   CultureInfo.InvariantCulture, out bytes[i]))
                    throw new FormatException(what + ": not hexadecimal bytes at \"" +
                                              digits.Substring(2 * i, 2) + "\"");
            }
            return bytes;
        }
    }

    /// <summary>One TEDS query, through the device library (<see cref="Create"/>) or a
    /// DS2480B serial 1-Wire adapter (<see cref="CreateSerial"/>).
    ///
    /// The callbacks run on the library's own thread (a text may also arrive on the
    /// caller's thread inside Start or Run). An exception a callback throws does not
    /// reach the library: the query goes on, and the first such exception is thrown
    /// again by the Run or Stop that follows. Inside a callback, Start, Run, Stop and
    /// Dispose of a query throw <see cref="TedsException"/> with <see cref="Status.Busy"/>.
    ///
    /// Dispose stops a running query and releases the handle, from any thread, also while
    /// a Run waits on another one. Results are .NET objects and outlive the query.</summary>
    public sealed class Query : IDisposable
    {
        readonly QueryHandle handle;
        readonly CallbackState state = new CallbackState();

        Query(QueryHandle handle)
        {
            this.handle = handle;
            handle.Callbacks = GCHandle.Alloc(state);
        }

        /// <summary>A query of the relay on <paramref name="channel"/> (0 to 7) of the device
        /// <paramref name="device"/> at <paramref name="address"/>, putting the channel into
        /// TEDS mode <paramref name="mode"/> and waiting <paramref name="pollMs"/> before each
        /// read of the relay's answer (1000 on the real device). Nothing is sent until a query
        /// starts.</summary>
        public static Query Create(string device, uint address = 1, uint channel = 0,
                                   uint mode = 1, uint pollMs = 1000)
        {
            if (device == null) throw new ArgumentNullException(nameof(device));
            var status = Native.orvane_teds_query_create(Native.Utf8(device), address, channel,
                                                         mode, pollMs, out QueryHandle handle);
            return Created(status, handle);
        }

        /// <summary>A query through a DS2480B serial adapter on <paramref name="port"/>
        /// ("/dev/ttyUSB0", "COM3"), switched to <paramref name="baud"/> (9600, 19200, 57600 or
        /// 115200) after each start-up at 9600. A port that cannot be opened or an adapter
        /// that does not answer ends the query with a text saying so and no transducer.</summary>
        public static Query CreateSerial(string port, uint baud = 9600)
        {
            if (port == null) throw new ArgumentNullException(nameof(port));
            var status = Native.orvane_teds_query_create_serial_baud(Native.Utf8(port), baud,
                                                                     out QueryHandle handle);
            return Created(status, handle);
        }

        static Query Created(Status status, QueryHandle handle)
        {
            if (status != Status.Ok)
            {
                handle.Dispose();
                Native.Check(status);
            }
            return new Query(handle);
        }

        /// <summary>Sets the callbacks (each may be null). Once this returns, no earlier
        /// callback is running or will run.</summary>
        public void SetCallbacks(Action<Transducer> onTransducer = null, Action<string> onText = null,
                                 Action<int> onEnded = null)
        {
            state.Set(onTransducer, onText, onEnded);
            Native.Check(Native.orvane_teds_query_set_callbacks(
                handle, onTransducer == null ? null : Trampolines.Transducer,
                onText == null ? null : Trampolines.Text, onEnded == null ? null : Trampolines.Ended,
                GCHandle.ToIntPtr(handle.Callbacks)));
        }

        /// <summary>Starts one query and returns at once; the results arrive through the
        /// callbacks.</summary>
        public void Start()
        {
            state.TakeFailure();
            Native.Check(Native.orvane_teds_query_start(handle));
        }

        /// <summary>Stops a running query, if any, and lets the device return to its normal
        /// mode. Throws the first exception a callback threw since the query started.</summary>
        public void Stop()
        {
            Native.Check(Native.orvane_teds_query_stop(handle));
            state.TakeFailure()?.Throw();
        }

        /// <summary>Runs one query, waits up to <paramref name="timeout"/> for it to end, then
        /// lets the device return to its normal mode. The callbacks are called as well. A
        /// query that does not end in time gives what it produced with TimedOut set; one that
        /// Stop or Dispose on another thread ends gives it with Stopped set.</summary>
        public QueryResult Run(TimeSpan timeout)
        {
            double ms = Math.Ceiling(timeout.TotalMilliseconds);
            if (!(ms > 0)) throw new ArgumentOutOfRangeException(nameof(timeout), "must be greater than 0");
            state.TakeFailure();
            var status = Native.orvane_teds_query_run(handle, ms >= uint.MaxValue ? uint.MaxValue : (uint)ms,
                                                      out QueryResultHandle result);
            QueryResult value;
            using (result)
            {
                if (status != Status.Timeout && status != Status.Stopped && status != Status.Destroyed)
                    Native.Check(status);
                value = new QueryResult(result.DangerousGetHandle(), disposing);
            }
            state.TakeFailure()?.Throw();
            return value;
        }

        /// <summary>Stops the query and releases the handle; no callback runs once this
        /// returns. A Run under way on another thread returns with what the query produced
        /// and Stopped set to <see cref="StopReason.Dispose"/>; the handle goes as it
        /// returns. A second call does nothing.</summary>
        public void Dispose()
        {
            disposing = true;
            Status status;
            try
            {
                status = Native.orvane_teds_query_stop(handle);
            }
            catch (ObjectDisposedException)
            {
                return;
            }
            if (status == Status.Busy)
            {
                disposing = false;
                Native.Check(status);
            }
            // A call under way holds the handle; the library lets it go once the
            // last of them has returned.
            handle.Dispose();
        }

        volatile bool disposing;

        // The host's callbacks and the first exception one of them threw.
        sealed class CallbackState
        {
            volatile Action<Transducer> onTransducer;
            volatile Action<string> onText;
            volatile Action<int> onEnded;
            ExceptionDispatchInfo failure;

            internal void Set(Action<Transducer> transducer, Action<string> text, Action<int> ended)
            {
                onTransducer = transducer;
                onText = text;
                onEnded = ended;
            }

            internal void Transducer(IntPtr record)
            {
                var call = onTransducer;
                if (call == null) return;
                try { call(new Transducer(record)); } catch (Exception e) { Fail(e); }
            }

            internal void Text(IntPtr text)
            {
                var call = onText;
                if (call == null) return;
                try { call(Native.Text(text)); } catch (Exception e) { Fail(e); }
            }

            internal void Ended(UIntPtr reported)
            {
                var call = onEnded;
                if (call == null) return;
                try { call((int)reported); } catch (Exception e) { Fail(e); }
            }

            void Fail(Exception e)
            {
                var captured = ExceptionDispatchInfo.Capture(e);
                Interlocked.CompareExchange(ref failure, captured, null);
            }

            internal ExceptionDispatchInfo TakeFailure() => Interlocked.Exchange(ref failure, null);
        }

        // The functions the library calls: static, so they are never collected, and
        // guarded, so that nothing is thrown into the library.
        static class Trampolines
        {
            internal static readonly Native.TransducerCallback Transducer =
                (user, record) => Guarded(user, s => s.Transducer(record));
            internal static readonly Native.TextCallback Text =
                (user, text) => Guarded(user, s => s.Text(text));
            internal static readonly Native.EndedCallback Ended =
                (user, reported) => Guarded(user, s => s.Ended(reported));

            static void Guarded(IntPtr user, Action<CallbackState> deliver)
            {
                try
                {
                    if (GCHandle.FromIntPtr(user).Target is CallbackState state) deliver(state);
                }
                catch (Exception)
                {
                    // Only a fault of the binding itself gets here; the library must not
                    // see it.
                }
            }
        }
    }

    /// <summary>The simulated data-acquisition device, for demos and tests: a bench
    /// attached to the device library until Dispose. Without a bench, the built-in one:
    /// device "SIM-DAQ" at address 1 with one DS2430A accelerometer on channel 0.</summary>
    public sealed class SimulatedDevice : IDisposable
    {
        readonly SimHandle handle;

        public SimulatedDevice() : this(AttachDefault()) { }

        SimulatedDevice(SimHandle handle)
        {
            this.handle = handle;
            Native.orvane_sim_describe(handle, out IntPtr name, out uint address, out uint channel);
            Name = Native.Text(name);
            Address = address;
            Channel = channel;
        }

        /// <summary>A bench file (JSON).</summary>
        public static SimulatedDevice FromFile(string path)
        {
            if (path == null) throw new ArgumentNullException(nameof(path));
            int status = Native.orvane_sim_attach_file(Native.Utf8(path), out SimHandle handle);
            return new SimulatedDevice(Attached(status, handle));
        }

        /// <summary>A bench text (JSON).</summary>
        public static SimulatedDevice FromText(string bench)
        {
            if (bench == null) throw new ArgumentNullException(nameof(bench));
            int status = Native.orvane_sim_attach_text(Native.Utf8(bench), out SimHandle handle);
            return new SimulatedDevice(Attached(status, handle));
        }

        static SimHandle AttachDefault()
        {
            int status = Native.orvane_sim_attach_default(out SimHandle handle);
            return Attached(status, handle);
        }

        static SimHandle Attached(int status, SimHandle handle)
        {
            if (status == 0) return handle;
            handle.Dispose();
            throw new SimulatedDeviceException(status, Native.Text(Native.orvane_sim_last_error()));
        }

        public string Name { get; }
        public uint Address { get; }
        public uint Channel { get; }

        /// <summary>Detaches the device; a second call does nothing.</summary>
        public void Dispose() => handle.Dispose();
    }
}
