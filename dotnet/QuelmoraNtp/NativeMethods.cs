using System;
using System.Runtime.InteropServices;

namespace Quelmora.Ntp
{
    /// <summary>The library's seven functions, with blittable signatures only.</summary>
    /// <remarks>
    /// Texts come back as pointers to the library's own storage: declared as
    /// strings, the marshaller would free them.
    /// </remarks>
    internal static unsafe class NativeMethods
    {
        // quelmora_ntp.dll on Windows, libquelmora_ntp.so elsewhere.
        private const string Library = "quelmora_ntp";

        static NativeMethods() => NativeLibraryLoader.Register();

        internal const int Failed = -1;
        internal const int WrongState = -7;
        internal const int PacketSize = 48;

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr ntp_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr ntp_last_error();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int ntp_start(int port);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int ntp_stop();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int ntp_status();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int ntp_query(byte* host, int port, byte* pkt, int pktLen);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern IntPtr ntp_stats();

        /// <summary>A text of the library's, copied; it stays the library's.</summary>
        internal static string Text(IntPtr text) => Marshal.PtrToStringAnsi(text) ?? string.Empty;
    }
}
