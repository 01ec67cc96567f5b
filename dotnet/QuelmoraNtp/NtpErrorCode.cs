namespace Quelmora.Ntp
{
    /// <summary>What failed, one value per reason of the native library, and the two checks of a reply.</summary>
    public enum NtpErrorCode
    {
        /// <summary>
        /// The reason is not known: another thread's failure overwrote the library's text for it
        /// (the text is one for the whole process) with a reason this call cannot give.
        /// </summary>
        Unknown = 0,

        /// <summary>"bad port": the port is outside the range the call takes.</summary>
        BadPort,

        /// <summary>"WSAStartup failed": the socket layer would not start (Windows).</summary>
        SocketLayerStartFailed,

        /// <summary>"socket() failed": no socket could be made.</summary>
        SocketFailed,

        /// <summary>"bind failed (port in use?)": another socket holds the port, or it needs privilege.</summary>
        BindFailed,

        /// <summary>"CreateThread failed": the server's thread could not be made.</summary>
        ThreadCreationFailed,

        /// <summary>"bad params (need host, pkt buffer >= 48)": no host, or no room for the reply.</summary>
        BadParameters,

        /// <summary>"host resolve failed": the host name resolved to no address.</summary>
        HostResolveFailed,

        /// <summary>"connect failed": the socket could not be pointed at the server's address.</summary>
        ConnectFailed,

        /// <summary>"send failed": the request did not leave in full.</summary>
        SendFailed,

        /// <summary>
        /// "no reply within 5s (timeout or short packet)": no 48-byte reply came in time, or the port
        /// refused the request.
        /// </summary>
        NoReply,

        /// <summary>A reply came but is not a server's answer with a time: <see cref="NtpInvalidReplyException"/>.</summary>
        InvalidReply,

        /// <summary>The server refused service: <see cref="NtpKissOfDeathException"/>.</summary>
        KissOfDeath,
    }
}
