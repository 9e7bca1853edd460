// The results as immutable .NET objects, copied out of the library's C
// records before those are freed, and the exception of a refused call.
using System;
using System.Collections.Generic;
using System.Collections.ObjectModel;
using System.Runtime.InteropServices;

namespace Orvane.Teds
{
    /// <summary>The status codes of the C interface.</summary>
    public enum Status
    {
        Ok = 0,
        InvalidArgument = 1,
        Busy = 2,
        Timeout = 3,
        NoMemory = 4,
        InternalError = 5,
        /// <summary>A stop on another thread ended the run (a result is still given).</summary>
        Stopped = 6,
        /// <summary>The handle was destroyed while the run waited (a result is still given).</summary>
        Destroyed = 7,
    }

    /// <summary>What ended a query early.</summary>
    public enum StopReason
    {
        /// <summary>It ended by itself or timed out.</summary>
        None = 0,
        /// <summary><see cref="Query.Stop"/> on another thread ended it.</summary>
        Stop = 1,
        /// <summary><see cref="Query.Dispose"/> on another thread ended it.</summary>
        Dispose = 2,
    }

    /// <summary>A call the library refused: <see cref="Status"/> is its status code, the
    /// message its last-error text.</summary>
    public class TedsException : Exception
    {
        public TedsException(Status status, string message) : base(message) { Status = status; }
        public Status Status { get; }
    }

    /// <summary>The simulated device refused to attach: <see cref="Code"/> is the simulator's
    /// status (2 a bench that cannot be read or is malformed, 3 another device answers under
    /// that name and address), the message its text.</summary>
    public class SimulatedDeviceException : Exception
    {
        public SimulatedDeviceException(int code, string message) : base(message) { Code = code; }
        public int Code { get; }
    }

    /// <summary>The Basic TEDS. <see cref="Present"/> is false for manufacturer IDs 0, 1,
    /// 3 to 16 and 16383: then the other members are only the default record.</summary>
    public sealed class BasicTeds
    {
        internal BasicTeds(Native.Transducer c)
        {
            Present = c.has_basic_teds != 0;
            ManufacturerId = c.manufacturer_id;
            ModelNumber = c.model_number;
            VersionLetter = (char)c.version_letter;
            VersionNumber = c.version_number;
            SerialNumber = c.serial_number;
        }
        public bool Present { get; }
        public int ManufacturerId { get; }
        public int ModelNumber { get; }
        public char VersionLetter { get; }
        public int VersionNumber { get; }
        public uint SerialNumber { get; }
    }

    /// <summary>Which template-25 group the image held.</summary>
    public enum Template25Group
    {
        /// <summary><see cref="Template25.SensRef"/> and <see cref="Template25.TfHpS"/> hold the scaled values.</summary>
        Standard = 0,
        /// <summary>The four raw values hold them.</summary>
        Extended = 1,
    }

    /// <summary>Template 25, accelerometer/force transducer with constant current amplifier.
    /// The extended group's raw values are null for the standard group (and SensRef, TfHpS
    /// for the extended one); the transfer-function group's raw values are null without it.</summary>
    public sealed class Template25
    {
        internal Template25(Native.Template25 c)
        {
            bool extended = c.group == Native.GroupExtended;
            bool tf = c.transfer_function != 0;
            Group = extended ? Template25Group.Extended : Template25Group.Standard;
            TransferFunction = tf;
            Force = c.force != 0;
            SensRef = extended || double.IsNaN(c.sens_ref) ? (double?)null : c.sens_ref;
            TfHpS = extended || double.IsNaN(c.tf_hp_s) ? (double?)null : c.tf_hp_s;
            DefaultFr = Only(extended, c.default_fr);
            Passive = Only(extended, c.passive);
            SensRef01 = Only(extended, c.sens_ref_01);
            SensRef10 = Only(extended, c.sens_ref_10);
            TfHpS01 = Only(extended, c.tf_hp_s_01);
            TfHpS10 = Only(extended, c.tf_hp_s_10);
            Direction = c.direction;
            DirectionText = Native.Text(c.direction_text);
            Weight = c.weight;
            Sign = c.sign;
            SignText = Native.Text(c.sign_text);
            TfSp = Only(tf, c.tf_sp);
            TfKPr = Only(tf, c.tf_kpr);
            TfKPq = Only(tf, c.tf_kpq);
            TfSl = Only(tf, c.tf_sl);
            TempCoef = Only(tf, c.temp_coef);
            RefFreq = c.ref_freq;
            RefTemp = c.ref_temp;
            CalDate = DateTimeOffset.FromUnixTimeSeconds(c.cal_date);
            CalDateText = Native.Text(c.cal_date_text);
            CalInitials = Native.Text(c.cal_initials);
            CalPeriod = c.cal_period;
            MeasId = c.meas_id;
        }

        static uint? Only(bool present, uint value) => present ? value : (uint?)null;

        public Template25Group Group { get; }
        public bool TransferFunction { get; }
        public bool Force { get; }
        /// <summary>%Sens@Ref, V/(m/s^2).</summary>
        public double? SensRef { get; }
        /// <summary>%TF_HP_S, Hz.</summary>
        public double? TfHpS { get; }
        public uint? DefaultFr { get; }
        public uint? Passive { get; }
        public uint? SensRef01 { get; }
        public uint? SensRef10 { get; }
        public uint? TfHpS01 { get; }
        public uint? TfHpS10 { get; }
        /// <summary>0 X, 1 Y, 2 Z.</summary>
        public uint Direction { get; }
        public string DirectionText { get; }
        /// <summary>%Weight, g.</summary>
        public double Weight { get; }
        /// <summary>0 positive, 1 negative.</summary>
        public uint Sign { get; }
        public string SignText { get; }
        public uint? TfSp { get; }
        public uint? TfKPr { get; }
        public uint? TfKPq { get; }
        public uint? TfSl { get; }
        public uint? TempCoef { get; }
        /// <summary>%Reffreq, Hz.</summary>
        public double RefFreq { get; }
        /// <summary>%RefTemp, degrees Celsius.</summary>
        public double RefTemp { get; }
        /// <summary>%CalDate (UTC).</summary>
        public DateTimeOffset CalDate { get; }
        /// <summary>"YYYY-MM-DD".</summary>
        public string CalDateText { get; }
        public string CalInitials { get; }
        /// <summary>%CalPeriod, days.</summary>
        public uint CalPeriod { get; }
        public uint MeasId { get; }
    }

    /// <summary>One transducer: identity (8 ROM bytes, all zero for a decoded image), the
    /// devices whose images were joined, the image, the Basic TEDS, the templates, the
    /// template errors and the text report.</summary>
    public sealed class Transducer
    {
        internal Transducer(IntPtr record)
        {
            var c = Native.Record<Native.Transducer>(record);
            Id = Array.AsReadOnly((byte[])c.id.Clone());
            IdText = Native.Text(c.id_text);
            var nodes = Native.Bytes(c.nodes, 8 * (int)c.node_count);
            var list = new List<IReadOnlyList<byte>>();
            for (int i = 0; i < nodes.Length; i += 8)
            {
                var rom = new byte[8];
                Array.Copy(nodes, i, rom, 0, 8);
                list.Add(Array.AsReadOnly(rom));
            }
            Nodes = list.AsReadOnly();
            Image = Array.AsReadOnly(Native.Bytes(c.image, (int)c.image_size));
            BasicTeds = new BasicTeds(c);
            var templates = new Template25[(int)c.template_count];
            for (int i = 0; i < templates.Length; ++i)
                templates[i] = new Template25(
                    Native.Record<Native.Template25>(Marshal.ReadIntPtr(c.templates, i * IntPtr.Size)));
            Templates = Array.AsReadOnly(templates);
            Errors = Array.AsReadOnly(Native.Texts(c.errors, c.error_count));
            Report = Native.Text(c.report);
        }

        public IReadOnlyList<byte> Id { get; }
        /// <summary>"[14 3A 7F 1B 05 00 00 B6]".</summary>
        public string IdText { get; }
        public IReadOnlyList<IReadOnlyList<byte>> Nodes { get; }
        public IReadOnlyList<byte> Image { get; }
        public BasicTeds BasicTeds { get; }
        public IReadOnlyList<Template25> Templates { get; }
        /// <summary>Template failures; the last one ended the template list.</summary>
        public IReadOnlyList<string> Errors { get; }
        /// <summary>The text report (errors not included).</summary>
        public string Report { get; }
    }

    /// <summary>A decoded image. <see cref="Parsed"/> false: the TEDS could not be parsed,
    /// <see cref="ParseError"/> says why and <see cref="Transducer"/> is null.
    /// <see cref="Pages"/>: one checksum verdict per memory page (true is
    /// "Compile: GOOD CHECKSUM"), for a DS2430A dump only.</summary>
    public sealed class DecodeResult
    {
        internal DecodeResult(IntPtr record)
        {
            var c = Native.Record<Native.DecodeResult>(record);
            Parsed = c.parsed != 0;
            ParseError = Parsed ? null : Native.Text(c.parse_error);
            var pages = new bool[(int)c.page_count];
            for (int i = 0; i < pages.Length; ++i) pages[i] = Marshal.ReadInt32(c.page_good, 4 * i) != 0;
            Pages = Array.AsReadOnly(pages);
            PageTexts = Array.AsReadOnly(Native.Texts(c.page_texts, c.page_count));
            Transducer = c.transducer == IntPtr.Zero ? null : new Transducer(c.transducer);
        }

        public bool Parsed { get; }
        public string ParseError { get; }
        public IReadOnlyList<bool> Pages { get; }
        public IReadOnlyList<string> PageTexts { get; }
        public Transducer Transducer { get; }
    }

    /// <summary>Everything one query produced: its texts and its transducers, in order;
    /// <see cref="TimedOut"/> when it did not end within the time-out, <see cref="Stopped"/>
    /// when a stop or a dispose on another thread ended it.</summary>
    public sealed class QueryResult
    {
        internal QueryResult(IntPtr record, bool disposing)
        {
            var c = Native.Record<Native.QueryResult>(record);
            TimedOut = c.timed_out != 0;
            // Dispose stops the query before it lets the handle go.
            Stopped = c.stopped == 0 ? StopReason.None
                      : disposing || c.stopped == 2 ? StopReason.Dispose : StopReason.Stop;
            Texts = Array.AsReadOnly(Native.Texts(c.texts, c.text_count));
            var transducers = new Transducer[(int)c.transducer_count];
            for (int i = 0; i < transducers.Length; ++i)
                transducers[i] = new Transducer(Marshal.ReadIntPtr(c.transducers, i * IntPtr.Size));
            Transducers = Array.AsReadOnly(transducers);
        }

        public bool TimedOut { get; }
        public StopReason Stopped { get; }
        public IReadOnlyList<string> Texts { get; }
        public IReadOnlyList<Transducer> Transducers { get; }
    }
}
