using System;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Quelmora.Ntp
{
    /// <summary>One-shot SNTP queries through the native library.</summary>
    public static class NtpClient
    {
        private const int LowestPort = 1;
        private const int HighestPort = 65535;
        // The blocking call needs little stack; a thread of its own per query should not cost 1 MB.
        private const int QueryThreadStackSize = 256 * 1024;

        /// <summary>
        /// Sends one SNTP request to the first address the host name resolves to and waits up to
        /// 5 s for the reply; no retry, no second address. The library refuses a reply whose
        /// originate timestamp is not the request's transmit timestamp.
        /// </summary>
        /// <param name="host">A host name, or an IPv4 or IPv6 address.</param>
        /// <param name="port">The server's UDP port, 1 to 65535.</param>
        /// <returns>The reply, decoded and checked, with offset and round trip.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="host"/> is null.</exception>
        /// <exception cref="ArgumentException"><paramref name="host"/> is empty or holds a NUL character.</exception>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="port"/> is not 1 to 65535.</exception>
        /// <exception cref="NtpKissOfDeathException">The server refused service (stratum 0).</exception>
        /// <exception cref="NtpInvalidReplyException">The reply is not a server's answer with a time.</exception>
        /// <exception cref="NtpException">
        /// The query failed; <see cref="NtpException.ErrorCode"/> says why, such as
        /// <see cref="NtpErrorCode.HostResolveFailed"/> or <see cref="NtpErrorCode.NoReply"/>.
        /// </exception>
        public static NtpResponse Query(string host, int port = 123)
        {
            byte[] name = HostText(host);
            CheckPort(port);
            return QueryChecked(name, port);
        }

        /// <summary>
        /// <see cref="Query"/> on a thread of its own, so that its wait of up to 5 s holds no thread
        /// of the pool. Argument errors are thrown at once, not through the task. Cancelling
        /// completes the task as cancelled at once (awaiting it throws
        /// <see cref="OperationCanceledException"/>); the blocking query then runs on to its own
        /// end on its thread, and its result is dropped.
        /// </summary>
        /// <param name="host">A host name, or an IPv4 or IPv6 address.</param>
        /// <param name="port">The server's UDP port, 1 to 65535.</param>
        /// <param name="cancellationToken">Cancels the wait for the reply.</param>
        /// <returns>
        /// The reply, decoded and checked; faulted with <see cref="NtpException"/> or one of its
        /// subclasses on failure.
        /// </returns>
        /// <exception cref="ArgumentNullException"><paramref name="host"/> is null.</exception>
        /// <exception cref="ArgumentException"><paramref name="host"/> is empty or holds a NUL character.</exception>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="port"/> is not 1 to 65535.</exception>
        public static Task<NtpResponse> QueryAsync(string host, int port = 123,
                                                   CancellationToken cancellationToken = default)
        {
            byte[] name = HostText(host);
            CheckPort(port);
            if (cancellationToken.IsCancellationRequested) return Task.FromCanceled<NtpResponse>(cancellationToken);
            var completion = new TaskCompletionSource<NtpResponse>(TaskCreationOptions.RunContinuationsAsynchronously);
            var thread = new Thread(() =>
            {
                try
                {
                    completion.TrySetResult(QueryChecked(name, port));
                }
                catch (Exception failure)
                {
                    completion.TrySetException(failure);
                }
            }, QueryThreadStackSize)
            {
                IsBackground = true,
                Name = "quelmora-ntp query",
            };
            thread.Start();
            return cancellationToken.CanBeCanceled ? UntilCancelled(completion.Task, cancellationToken) : completion.Task;
        }

        private static unsafe NtpResponse QueryChecked(byte[] name, int port)
        {
            var packet = new byte[NativeMethods.PacketSize];
            int result;
            fixed (byte* namePointer = name)
            fixed (byte* packetPointer = packet)
            {
                result = NativeMethods.ntp_query(namePointer, port, packetPointer, packet.Length);
            }
            if (result != NativeMethods.PacketSize)
                throw NtpException.FromLibraryReason(NativeMethods.LastError(), NtpException.QueryReasons);
            return NtpResponse.Parse(packet, DateTime.UtcNow);
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

        private static void CheckPort(int port)
        {
            if (port < LowestPort || port > HighestPort)
                throw new ArgumentOutOfRangeException(nameof(port), port, "a server's UDP port is 1 to 65535");
        }

        // NUL-terminated UTF-8; an embedded NUL would silently name another host.
        private static byte[] HostText(string host)
        {
            if (host == null) throw new ArgumentNullException(nameof(host));
            if (host.Length == 0) throw new ArgumentException("the host name is empty", nameof(host));
            if (host.IndexOf('\0') >= 0) throw new ArgumentException("the host name holds a NUL character", nameof(host));
            var text = new byte[Encoding.UTF8.GetByteCount(host) + 1];
            Encoding.UTF8.GetBytes(host, 0, host.Length, text, 0);
            return text;
        }
    }
}
