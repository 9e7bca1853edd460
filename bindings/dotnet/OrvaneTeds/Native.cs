// Declarations of the library's C interface (orvane_teds.h) and of the
// simulated device's C entry, with the records laid out as the C compiler
// lays them out. Texts cross as UTF-8 bytes in both directions.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Orvane.Teds
{
    internal static class Native
    {
        // "orvane_teds.dll" on Windows, "liborvane_teds.so" elsewhere.
        internal const string Library = "orvane_teds";
        internal const string SimLibrary = "orvane_simdevice";

        internal const int GroupExtended = 1;

        [StructLayout(LayoutKind.Sequential)]
        internal struct Template25
        {
            internal UIntPtr size;
            internal int group;
            internal int transfer_function;
            internal int force;
            internal double sens_ref;
            internal double tf_hp_s;
            internal uint default_fr;
            internal uint passive;
            internal uint sens_ref_01;
            internal uint sens_ref_10;
            internal uint tf_hp_s_01;
            internal uint tf_hp_s_10;
            internal uint direction;
            internal IntPtr direction_text;
            internal double weight;
            internal uint sign;
            internal IntPtr sign_text;
            internal uint tf_sp;
            internal uint tf_kpr;
            internal uint tf_kpq;
            internal uint tf_sl;
            internal uint temp_coef;
            internal double ref_freq;
            internal double ref_temp;
            internal long cal_date;
            internal IntPtr cal_date_text;
            internal IntPtr cal_initials;
            internal uint cal_period;
            internal uint meas_id;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct Transducer
        {
            internal UIntPtr size;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 8)] internal byte[] id;
            internal IntPtr id_text;
            internal UIntPtr node_count;
            internal IntPtr nodes;
            internal UIntPtr image_size;
            internal IntPtr image;
            internal int has_basic_teds;
            internal ushort manufacturer_id;
            internal ushort model_number;
            internal byte version_letter;
            internal byte version_number;
            internal uint serial_number;
            internal UIntPtr template_count;
            internal IntPtr templates;
            internal UIntPtr error_count;
            internal IntPtr errors;
            internal IntPtr report;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct DecodeResult
        {
            internal UIntPtr size;
            internal int parsed;
            internal IntPtr parse_error;
            internal UIntPtr page_count;
            internal IntPtr page_good;
            internal IntPtr page_texts;
            internal IntPtr transducer;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct QueryResult
        {
            internal UIntPtr size;
            internal int timed_out;
            internal UIntPtr text_count;
            internal IntPtr texts;
            internal UIntPtr transducer_count;
            internal IntPtr transducers;
            internal int stopped;
        }

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void TransducerCallback(IntPtr user, IntPtr transducer);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void TextCallback(IntPtr user, IntPtr text);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void EndedCallback(IntPtr user, UIntPtr transducersReported);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr orvane_teds_last_error();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_version(out IntPtr version);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_decode_image(byte[] image, UIntPtr imageSize,
                                                               out DecodeResultHandle result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_decode_ds2430a(
            byte[] application, UIntPtr applicationSize, byte[] memory, UIntPtr memorySize,
            out DecodeResultHandle result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_decode_result_free(IntPtr result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_query_create(byte[] device, uint address,
                                                               uint channel, uint tedsMode,
                                                               uint pollPauseMs,
                                                               out QueryHandle query);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_query_create_serial_baud(byte[] port, uint baud,
                                                                           out QueryHandle query);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_query_set_callbacks(
            QueryHandle query, TransducerCallback onTransducer, TextCallback onText,
            EndedCallback onEnded, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_query_start(QueryHandle query);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_query_stop(QueryHandle query);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_query_run(QueryHandle query, uint timeoutMs,
                                                            out QueryResultHandle result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_query_result_free(IntPtr result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern Status orvane_teds_query_destroy(IntPtr query);

        [DllImport(SimLibrary, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr orvane_sim_last_error();
        [DllImport(SimLibrary, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int orvane_sim_attach_default(out SimHandle sim);
        [DllImport(SimLibrary, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int orvane_sim_attach_file(byte[] path, out SimHandle sim);
        [DllImport(SimLibrary, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int orvane_sim_attach_text(byte[] bench, out SimHandle sim);
        [DllImport(SimLibrary, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int orvane_sim_describe(SimHandle sim, out IntPtr name,
                                                       out uint address, out uint channel);
        [DllImport(SimLibrary, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int orvane_sim_detach(IntPtr sim);

        // A NUL-terminated UTF-8 text for the library.
        internal static byte[] Utf8(string text)
        {
            var bytes = new byte[Encoding.UTF8.GetByteCount(text) + 1];
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        // A NUL-terminated UTF-8 text from the library; "" for null.
        internal static string Text(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }

        internal static string[] Texts(IntPtr array, UIntPtr count)
        {
            var texts = new string[(int)count];
            for (int i = 0; i < texts.Length; ++i)
                texts[i] = Text(Marshal.ReadIntPtr(array, i * IntPtr.Size));
            return texts;
        }

        internal static byte[] Bytes(IntPtr data, int count)
        {
            var bytes = new byte[count];
            if (count > 0) Marshal.Copy(data, bytes, 0, count);
            return bytes;
        }

        // Reads a record whose first member is its size as the library built
        // it; a record smaller than this binding's lacks members it reads.
        internal static T Record<T>(IntPtr record) where T : struct
        {
            long size = Marshal.ReadIntPtr(record).ToInt64();
            if (size < Marshal.SizeOf(typeof(T)))
                throw new TedsException(Status.InternalError,
                    typeof(T).Name + ": the library's record has " + size + " bytes, this binding reads " +
                    Marshal.SizeOf(typeof(T)) + "; the library is older than the binding");
            return (T)Marshal.PtrToStructure(record, typeof(T));
        }

        // The status as an exception carrying the library's last-error text.
        internal static void Check(Status status)
        {
            if (status != Status.Ok) throw new TedsException(status, Text(orvane_teds_last_error()));
        }
    }
}
