// The package's netstandard2.0 assembly as a .NET Framework-style host uses
// it: serves, queries its own server once, and reads the statistics.
using System;
using Quelmora.Ntp;

static class MonoHost
{
    static int Main(string[] args)
    {
        int port = int.Parse(args[0]);
        using (NtpServer server = NtpServer.Start(port))
        {
            NtpResponse reply = NtpClient.Query("127.0.0.1", port);
            NtpServerStatistics statistics = server.Statistics;
            Console.WriteLine("stratum {0}, {1}, offset {2:F3} ms; {3} requests, {4} replies",
                              reply.Stratum, reply.ReferenceIdText, reply.Offset.TotalMilliseconds,
                              statistics.Requests, statistics.Replies);
            return reply.Stratum == 2 && statistics.Replies == 1 ? 0 : 1;
        }
    }
}
