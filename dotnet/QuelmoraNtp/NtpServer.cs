using System;

namespace Quelmora.Ntp
{
    /// <summary>
    /// The SNTP time server of the native library: a thread of its own answering client requests
    /// on a UDP port with this machine's clock, as a stratum-2 server. A process has at most one.
    /// </summary>
    /// <example>
    /// <code>
    /// using (var server = NtpServer.Start(12300))
    /// {
    ///     // serving until disposed
    /// }
    /// </code>
    /// </example>
    public sealed class NtpServer : IDisposable
    {
        private const int HighestPort = 65535;
        private const int DefaultPort = 123;
        // Start, Stop and Dispose are the process's, one at a time.
        private static readonly object Gate = new object();
        private static NtpServer? running;

        private NtpServer(int port)
        {
            Port = port;
        }

        /// <summary>
        /// Starts the server on IPv4, every local address, the given UDP port (0 means 123).
        /// </summary>
        /// <param name="port">1 to 65535, or 0 for 123.</param>
        /// <returns>The running server; dispose of it to stop it.</returns>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="port"/> is not 0 to 65535.</exception>
        /// <exception cref="NtpException">
        /// Another socket holds the port or it needs privilege (<see cref="NtpErrorCode.BindFailed"/>),
        /// or the socket or thread could not be made.
        /// </exception>
        /// <exception cref="InvalidOperationException">A server already runs in this process.</exception>
        public static NtpServer Start(int port = DefaultPort)
        {
            if (port < 0 || port > HighestPort)
                throw new ArgumentOutOfRangeException(nameof(port), port, "a UDP port is 0 (for 123) to 65535");
            lock (Gate)
            {
                NtpException.ThrowOnFailure(NativeMethods.ntp_start(port), "a server already runs in this process",
                                            NtpException.StartReasons);
                running = new NtpServer(port == 0 ? DefaultPort : port);
                return running;
            }
        }

        /// <summary>Whether a server runs in this process.</summary>
        public static bool IsRunning => NativeMethods.ntp_status() == 1;

        /// <summary>The UDP port this server was started on.</summary>
        public int Port { get; }

        /// <summary>
        /// The library's report: whether a server runs, its port, and the requests and replies
        /// counted since it was last started.
        /// </summary>
        public NtpServerStatistics Statistics
        {
            get
            {
                return NtpServerStatistics.Parse(NativeMethods.Statistics());
            }
        }

        /// <summary>Stops the server, waiting at most 3 s for its thread.</summary>
        /// <exception cref="InvalidOperationException">This server is not running.</exception>
        public void Stop()
        {
            lock (Gate)
            {
                if (running != this) throw new InvalidOperationException("this server is not running");
                running = null;
                NtpException.ThrowOnFailure(NativeMethods.ntp_stop(), "this server is not running",
                                            NtpException.NoReasons);
            }
        }

        /// <summary>
        /// Stops the server if this object started the one that runs; otherwise does nothing.
        /// </summary>
        public void Dispose()
        {
            lock (Gate)
            {
                if (running != this) return;
                running = null;
                NativeMethods.ntp_stop();
            }
        }
    }
}
