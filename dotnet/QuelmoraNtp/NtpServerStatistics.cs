using System;
using System.Globalization;

namespace Quelmora.Ntp
{
    /// <summary>The server's report, as the library gives it at one moment.</summary>
    public sealed class NtpServerStatistics
    {
        private NtpServerStatistics(bool running, int port, uint requests, uint replies)
        {
            Running = running;
            Port = port;
            Requests = requests;
            Replies = replies;
        }

        /// <summary>Whether the server runs.</summary>
        public bool Running { get; }

        /// <summary>The port of the last start that got as far as binding it (0 before any).</summary>
        public int Port { get; }

        /// <summary>Datagrams of 1 to 48 bytes received since the last start (wraps at 2^32).</summary>
        public uint Requests { get; }

        /// <summary>Replies sent in full since the last start (wraps at 2^32).</summary>
        public uint Replies { get; }

        // The library's one-line JSON, always in this form:
        // {"running":1,"port":12300,"requests":5,"replies":5}
        internal static NtpServerStatistics Parse(string report) =>
            new NtpServerStatistics(
                Number(report, "running") != 0,
                checked((int)Number(report, "port")),
                checked((uint)Number(report, "requests")),
                checked((uint)Number(report, "replies")));

        private static long Number(string report, string key)
        {
            string label = "\"" + key + "\":";
            int start = report.IndexOf(label, StringComparison.Ordinal);
            if (start < 0) throw new FormatException("the library's report has no " + key + ": " + report);
            start += label.Length;
            int end = start;
            while (end < report.Length && (char.IsDigit(report[end]) || report[end] == '-')) end++;
            return long.Parse(report.Substring(start, end - start), NumberStyles.AllowLeadingSign,
                              CultureInfo.InvariantCulture);
        }
    }
}
