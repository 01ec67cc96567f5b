using System;
using System.Runtime.InteropServices;

static class Ntp
{
    // Texts belong to the library: take them as IntPtr, so the marshaller never frees them.
    [DllImport("quelmora_ntp")] static extern IntPtr ntp_version();
    [DllImport("quelmora_ntp")] static extern IntPtr ntp_last_error();
    [DllImport("quelmora_ntp")] static extern IntPtr ntp_stats();
    [DllImport("quelmora_ntp")] public static extern int ntp_start(int port);
    [DllImport("quelmora_ntp")] public static extern int ntp_stop();
    [DllImport("quelmora_ntp")] public static extern int ntp_status();
    [DllImport("quelmora_ntp")] public static extern int ntp_query(
        [MarshalAs(UnmanagedType.LPStr)] string host, int port, [Out] byte[] pkt, int pktLen);

    public static string Version() { return Marshal.PtrToStringAnsi(ntp_version()) ?? ""; }
    public static string LastError() { return Marshal.PtrToStringAnsi(ntp_last_error()) ?? ""; }
    public static string Stats() { return Marshal.PtrToStringAnsi(ntp_stats()) ?? ""; }
}

static class Demo
{
    static int Main(string[] args)
    {
        int port = args.Length > 0 ? int.Parse(args[0]) : 12300;
        Console.WriteLine("quelmora-ntp " + Ntp.Version());
        if (Ntp.ntp_start(port) != 0)
        {
            Console.Error.WriteLine("start: " + Ntp.LastError());
            return 1;
        }
        var pkt = new byte[48];
        bool answered = Ntp.ntp_query("127.0.0.1", port, pkt, pkt.Length) == 48;
        if (answered)
            Console.WriteLine("mode {0}, stratum {1}", pkt[0] & 7, pkt[1]);
        else
            Console.Error.WriteLine("query: " + Ntp.LastError());
        Console.WriteLine(Ntp.Stats());
        return Ntp.ntp_stop() == 0 && answered ? 0 : 1;
    }
}
