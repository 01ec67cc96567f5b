using System;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quelmora.Ntp
{
    /// <summary>One-shot SNTP queries through the native library.</summary>
    public static class NtpClient
    {
        /// <summary>
        /// Sends one SNTP request to the first address the host name resolves to and waits up to
        /// 5 s for the reply; no retry, no second address.
        /// </summary>
        /// <param name="host">A host name, or an IPv4 or IPv6 address.</param>
        /// <param name="port">The server's UDP port, 1 to 65535.</param>
        /// <returns>The reply, decoded, with offset and round trip.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="host"/> is null.</exception>
        /// <exception cref="ArgumentException"><paramref name="host"/> holds a NUL character.</exception>
        /// <exception cref="NtpException">
        /// The query failed, with the library's reason: "host resolve failed",
        /// "no reply within 5s (timeout or short packet)", "bad port" and others.
        /// </exception>
        public static unsafe NtpResponse Query(string host, int port = 123)
        {
            byte[] name = HostText(host);
            var packet = new byte[NativeMethods.PacketSize];
            int result;
            fixed (byte* namePointer = name)
            fixed (byte* packetPointer = packet)
            {
                result = NativeMethods.ntp_query(namePointer, port, packetPointer, packet.Length);
            }
            DateTime received = DateTime.UtcNow;
            if (result != NativeMethods.PacketSize) throw new NtpException(NtpLibrary.LastError);
            return NtpResponse.Parse(packet, received);
        }

        /// <summary>
        /// <see cref="Query"/> on the thread pool. Cancelling completes the task as cancelled at
        /// once; the blocking query then runs on to its own end, and its result is dropped.
        /// </summary>
        /// <param name="host">A host name, or an IPv4 or IPv6 address.</param>
        /// <param name="port">The server's UDP port, 1 to 65535.</param>
        /// <param name="cancellationToken">Cancels the wait for the reply.</param>
        /// <returns>The reply, decoded; faulted with <see cref="NtpException"/> on failure.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="host"/> is null.</exception>
        public static Task<NtpResponse> QueryAsync(string host, int port = 123,
                                                   CancellationToken cancellationToken = default)
        {
            if (host == null) throw new ArgumentNullException(nameof(host));
            if (cancellationToken.IsCancellationRequested) return Task.FromCanceled<NtpResponse>(cancellationToken);
            Task<NtpResponse> query = Task.Run(() => Query(host, port));
            return cancellationToken.CanBeCanceled ? UntilCancelled(query, cancellationToken) : query;
        }

        private static async Task<NtpResponse> UntilCancelled(Task<NtpResponse> query, CancellationToken token)
        {
            var cancelled = new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
            using (token.Register(() => cancelled.TrySetResult(true)))
            {
                if (await Task.WhenAny(query, cancelled.Task).ConfigureAwait(false) != query)
                {
                    // Nobody waits for it any more: its failure must not go unobserved.
                    _ = query.ContinueWith(t => t.Exception, CancellationToken.None,
                                           TaskContinuationOptions.OnlyOnFaulted | TaskContinuationOptions.ExecuteSynchronously,
                                           TaskScheduler.Default);
                    throw new OperationCanceledException(token);
                }
            }
            return await query.ConfigureAwait(false);
        }

        // NUL-terminated UTF-8; an embedded NUL would silently name another host.
        private static byte[] HostText(string host)
        {
            if (host == null) throw new ArgumentNullException(nameof(host));
            if (host.IndexOf('\0') >= 0) throw new ArgumentException("the host name holds a NUL character", nameof(host));
            var text = new byte[Encoding.UTF8.GetByteCount(host) + 1];
            Encoding.UTF8.GetBytes(host, 0, host.Length, text, 0);
            return text;
        }
    }
}
