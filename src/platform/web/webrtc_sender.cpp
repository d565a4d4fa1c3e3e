#include "platform/web/webrtc_sender.h"

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtp/rtp.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrio::platform::web {

namespace {

// The access units as they come, payloaded as they are (one RTP packet per NAL unit where it
// fits, no aggregation that would wait), into a peer connection that bundles everything on one
// transport and holds nothing back.
constexpr const char* pipelineDescription =
    // At most a few access units wait (a peer that does not keep up loses the newest, and asks
    // for a key frame), so that nothing grows without bound.
    "appsrc name=source is-live=true format=time do-timestamp=true max-buffers=8 leaky-type=downstream "
    "caps=video/x-h264,stream-format=byte-stream,alignment=au "
    "! h264parse config-interval=-1 ! rtph264pay name=pay config-interval=-1 aggregate-mode=zero-latency pt=96 "
    // Offered as constrained baseline with level asymmetry allowed (the level the stream's size
    // needs is higher than the one browsers offer to receive, and allowed to be).
    "! capssetter caps=application/x-rtp,profile-level-id=(string)42e01f "
    "! application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000 "
    "! webrtcbin name=rtc bundle-policy=max-bundle latency=0";

// Every packet carries a transport-wide sequence number, and the page reports when each arrived:
// how the rate follows the path.
constexpr const char* transportWideUri = "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01";
constexpr guint transportWideId = 1;

constexpr const char* offeredCaps =
    "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000,packetization-mode=(string)1,"
    "profile-level-id=(string)42e01f,level-asymmetry-allowed=(string)1,rtcp-fb-transport-cc=(boolean)true,"
    "rtcp-fb-nack-pli=(boolean)true,rtcp-fb-ccm-fir=(boolean)true";

// A receiver report's round trip, in 1/65536 s; 0 when the report could not give one.
std::optional<std::chrono::nanoseconds> roundTripOf(guint shortNtp)
{
    if (shortNtp == 0)
        return std::nullopt;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(shortNtp) * 1'000'000'000 / 65536);
}

// capssetter answers a caps query from downstream with the profile it sets, which is not within
// what the query offered; GStreamer's base class warns of that on the terminal each time a browser
// connects. Nothing is wrong: that one warning is dropped, every other goes on as it would.
void dropCapsSetterWarning(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer)
{
    if (message && std::strstr(message, "capssetter") && std::strstr(message, "not a real subset of the filter caps"))
        return;
    g_log_default_handler(domain, level, message, nullptr);
}

void initialiseOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        g_log_set_handler("GStreamer-Base", G_LOG_LEVEL_WARNING, &dropCapsSetterWarning, nullptr);
    });
}

// The ICE agent's candidate gathering, as the agent itself reports it (libnice's signals).
struct Gathering {
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
};

constexpr guint componentGathering = 1;  // libnice's NICE_COMPONENT_STATE_GATHERING
// How long a stopped pipeline may wait for its agent to finish gathering before it is freed.
constexpr auto gatheringWait = std::chrono::seconds(10);

}  // namespace

struct WebRtcSender::Pipeline {
    Callbacks callbacks;
    GstElement* pipeline = nullptr;
    GstElement* source = nullptr;
    GstElement* rtc = nullptr;
    GstWebRTCDataChannel* channel = nullptr;
    // The RTP session's element and its internal session, once the connection is up.
    GstElement* session = nullptr;
    GObject* internalSession = nullptr;
    guint lastReportedSequence = 0;  // of the last receiver report judged
    // GStreamer 1.22's ICE agent reports the end of its candidate gathering to webrtcbin's ICE
    // stream even once that stream is freed (a crash, seen with a page that left within the
    // 200 ms a gathering takes here): a stopped pipeline is kept until its agent is done.
    GObject* agent = nullptr;
    std::shared_ptr<Gathering> gathering = std::make_shared<Gathering>();
    gulong agentHandlers[2] = {};
    gulong keyUnitProbe = 0;

    explicit Pipeline(Callbacks given) : callbacks(std::move(given))
    {
        initialiseOnce();
        GError* error = nullptr;
        pipeline = gst_parse_launch(pipelineDescription, &error);
        if (!pipeline || error) {
            const std::string why = error ? error->message : "cannot build the pipeline";
            g_clear_error(&error);
            if (pipeline)
                gst_object_unref(pipeline);
            throw std::runtime_error("WebRTC is not available: " + why);
        }
        source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
        rtc = gst_bin_get_by_name(GST_BIN(pipeline), "rtc");
        g_signal_connect(rtc, "on-negotiation-needed", G_CALLBACK(&Pipeline::negotiationNeeded), this);
        g_signal_connect(rtc, "on-ice-candidate", G_CALLBACK(&Pipeline::iceCandidate), this);
        g_signal_connect(rtc, "notify::connection-state", G_CALLBACK(&Pipeline::connectionStateChanged), this);
        watchGathering();
        if (GstRTPHeaderExtension* extension = gst_rtp_header_extension_create_from_uri(transportWideUri)) {
            GstElement* payloader = gst_bin_get_by_name(GST_BIN(pipeline), "pay");
            gst_rtp_header_extension_set_id(extension, transportWideId);
            g_signal_emit_by_name(payloader, "add-extension", extension);
            gst_object_unref(payloader);
            gst_object_unref(extension);
        }
        // A page whose decoder lost a picture asks for a key frame (PLI, FIR): the request comes
        // back up the pipeline to where the access units enter.
        GstPad* pad = gst_element_get_static_pad(source, "src");
        keyUnitProbe = gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, &Pipeline::upstreamEvent, this, nullptr);
        gst_object_unref(pad);
        gst_element_set_state(pipeline, GST_STATE_READY);
        // Offered as sent, before any picture has come: the encoder's stream is constrained
        // baseline (no CABAC, no 8x8 transform, no B-frames) at whatever level its size needs.
        GstWebRTCRTPTransceiver* transceiver = nullptr;
        g_signal_emit_by_name(rtc, "get-transceiver", 0, &transceiver);
        if (transceiver) {
            const std::string offered = std::string(offeredCaps) + ",extmap-" + std::to_string(transportWideId) + "=(string)\"" + transportWideUri + "\"";
            GstCaps* caps = gst_caps_from_string(offered.c_str());
            g_object_set(transceiver, "codec-preferences", caps, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, nullptr);
            gst_caps_unref(caps);
            gst_object_unref(transceiver);
        }
        // Made before the offer, so that the offer carries it.
        g_signal_emit_by_name(rtc, "create-data-channel", "control", nullptr, &channel);
        if (channel)
            g_signal_connect(channel, "on-message-string", G_CALLBACK(&Pipeline::controlMessage), this);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
    }

    // Only after release() has stopped it.
    ~Pipeline()
    {
        if (channel)
            g_object_unref(channel);
        if (session)
            gst_object_unref(session);
        if (internalSession)
            g_object_unref(internalSession);
        if (agent) {
            for (const gulong handler : agentHandlers) {
                if (handler)
                    g_signal_handler_disconnect(agent, handler);
            }
            g_object_unref(agent);
        }
        gst_object_unref(rtc);
        gst_object_unref(source);
        gst_object_unref(pipeline);
    }

    // Stops the media and every call into our callbacks; the objects stay.
    void stop()
    {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        if (channel)
            g_signal_handlers_disconnect_by_data(channel, this);
        g_signal_handlers_disconnect_by_data(rtc, this);
        if (session)
            g_signal_handlers_disconnect_by_data(session, this);
        GstPad* pad = gst_element_get_static_pad(source, "src");
        gst_pad_remove_probe(pad, keyUnitProbe);
        gst_object_unref(pad);
    }

    // Frees `pipeline` once its ICE agent can no longer report to what it frees: at once where
    // the gathering never began or has ended, otherwise on a thread of its own once it ends.
    static void release(std::unique_ptr<Pipeline> pipeline)
    {
        pipeline->stop();
        const Gathering& gathering = *pipeline->gathering;
        if (!gathering.started || gathering.done)
            return;
        std::thread([pipeline = std::move(pipeline)]() mutable {
            const auto until = std::chrono::steady_clock::now() + gatheringWait;
            while (!pipeline->gathering->done && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pipeline.reset();
        }).detach();
    }

    // The agent is webrtcbin's from the start; its signals come on its own thread, and the state
    // they set outlives this pipeline (the connection holds it).
    void watchGathering()
    {
        GObject* ice = nullptr;
        g_object_get(rtc, "ice-agent", &ice, nullptr);
        if (ice && g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent"))
            g_object_get(ice, "agent", &agent, nullptr);
        if (ice)
            g_object_unref(ice);
        if (!agent)
            return;
        const auto hold = [this] { return new std::shared_ptr<Gathering>(gathering); };
        const auto drop = [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<Gathering>*>(data); };
        agentHandlers[0] = g_signal_connect_data(agent, "component-state-changed", G_CALLBACK(&Pipeline::componentStateChanged), hold(), drop,
                                                 GConnectFlags{});
        agentHandlers[1] = g_signal_connect_data(agent, "candidate-gathering-done", G_CALLBACK(&Pipeline::gatheringDone), hold(), drop, GConnectFlags{});
    }

    static void componentStateChanged(GObject*, guint, guint, guint state, gpointer data)
    {
        if (state == componentGathering)
            (*static_cast<std::shared_ptr<Gathering>*>(data))->started = true;
    }

    static void gatheringDone(GObject*, guint, gpointer data) { (*static_cast<std::shared_ptr<Gathering>*>(data))->done = true; }

    static void negotiationNeeded(GstElement* rtc, gpointer data)
    {
        GstPromise* promise = gst_promise_new_with_change_func(&Pipeline::offerCreated, data, nullptr);
        g_signal_emit_by_name(rtc, "create-offer", nullptr, promise);
    }

    static void offerCreated(GstPromise* promise, gpointer data)
    {
        auto* self = static_cast<Pipeline*>(data);
        GstWebRTCSessionDescription* offer = nullptr;
        if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED)
            gst_structure_get(gst_promise_get_reply(promise), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
        gst_promise_unref(promise);
        if (!offer)
            return;
        GstPromise* set = gst_promise_new();
        g_signal_emit_by_name(self->rtc, "set-local-description", offer, set);
        gst_promise_interrupt(set);
        gst_promise_unref(set);
        gchar* text = gst_sdp_message_as_text(offer->sdp);
        if (self->callbacks.offer)
            self->callbacks.offer(text);
        g_free(text);
        gst_webrtc_session_description_free(offer);
    }

    static void iceCandidate(GstElement*, guint mline, gchar* candidate, gpointer data)
    {
        auto* self = static_cast<Pipeline*>(data);
        if (self->callbacks.candidate && candidate)
            self->callbacks.candidate(mline, candidate);
    }

    static void connectionStateChanged(GstElement* rtc, GParamSpec*, gpointer data)
    {
        auto* self = static_cast<Pipeline*>(data);
        GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
        g_object_get(rtc, "connection-state", &state, nullptr);
        if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED)
            self->watchFeedback();
        if (self->callbacks.connection && (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED || state == GST_WEBRTC_PEER_CONNECTION_STATE_FAILED ||
                                           state == GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED || state == GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED))
            self->callbacks.connection(state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED);
    }

    // The media's RTP session (one, all bundled) hears the page's feedback.
    void watchFeedback()
    {
        if (session)
            return;
        GstElement* rtpbin = gst_bin_get_by_name(GST_BIN(rtc), "rtpbin");
        if (!rtpbin)
            return;
        g_signal_emit_by_name(rtpbin, "get-session", 0u, &session);
        g_signal_emit_by_name(rtpbin, "get-internal-session", 0u, &internalSession);
        gst_object_unref(rtpbin);
        if (!session || !internalSession)
            return;
        g_signal_connect(session, "notify::twcc-stats", G_CALLBACK(&Pipeline::transportFeedback), this);
        g_signal_connect(session, "on-ssrc-active", G_CALLBACK(&Pipeline::rtcpReceived), this);
    }

    static void transportFeedback(GObject* session, GParamSpec*, gpointer data)
    {
        auto* self = static_cast<Pipeline*>(data);
        GstStructure* stats = nullptr;
        g_object_get(session, "twcc-stats", &stats, nullptr);
        if (!stats)
            return;
        gdouble lossPercent = 0;
        gint64 averageDeltaOfDelta = 0;
        guint received = 0;
        const bool complete = gst_structure_get_double(stats, "packet-loss-pct", &lossPercent) &&
                              gst_structure_get_int64(stats, "avg-delta-of-delta", &averageDeltaOfDelta) &&
                              gst_structure_get_uint(stats, "packets-recv", &received);
        gst_structure_free(stats);
        // Not known until the window has two packets that arrived. The deltas of deltas add up to
        // the change of the one-way delay from the window's first packet to its last.
        if (complete && received > 0 && averageDeltaOfDelta != GST_CLOCK_STIME_NONE && self->callbacks.transportFeedback)
            self->callbacks.transportFeedback(lossPercent / 100, std::chrono::nanoseconds(averageDeltaOfDelta * received));
    }

    // An RTCP packet came from the page; a new receiver report about the stream is judged once.
    static void rtcpReceived(GstElement*, guint, gpointer data)
    {
        auto* self = static_cast<Pipeline*>(data);
        GstStructure* stats = nullptr;
        g_object_get(self->internalSession, "stats", &stats, nullptr);
        if (!stats)
            return;
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        const GValue* value = gst_structure_get_value(stats, "source-stats");
        const auto* sources = value && G_VALUE_HOLDS_BOXED(value) ? static_cast<GValueArray*>(g_value_get_boxed(value)) : nullptr;
        for (guint index = 0; sources && index < sources->n_values; ++index) {
            const auto* source = static_cast<const GstStructure*>(g_value_get_boxed(g_value_array_get_nth(const_cast<GValueArray*>(sources), index)));
            // The page's own source carries the last report block it sent about the stream.
            gboolean haveReport = FALSE;
            guint fractionLost = 0, roundTrip = 0, sequence = 0;
            if (!source || !gst_structure_get_boolean(source, "have-rb", &haveReport) || !haveReport ||
                !gst_structure_get_uint(source, "rb-fractionlost", &fractionLost) ||
                !gst_structure_get_uint(source, "rb-exthighestseq", &sequence) || sequence == self->lastReportedSequence)
                continue;
            gst_structure_get_uint(source, "rb-round-trip", &roundTrip);
            self->lastReportedSequence = sequence;
            if (self->callbacks.receiverReport)
                self->callbacks.receiverReport(fractionLost / 256.0, roundTripOf(roundTrip));
        }
        G_GNUC_END_IGNORE_DEPRECATIONS
        gst_structure_free(stats);
    }

    static GstPadProbeReturn upstreamEvent(GstPad*, GstPadProbeInfo* info, gpointer data)
    {
        auto* self = static_cast<Pipeline*>(data);
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        const GstStructure* structure = event ? gst_event_get_structure(event) : nullptr;
        if (structure && gst_structure_has_name(structure, "GstForceKeyUnit") && self->callbacks.keyFrameRequest)
            self->callbacks.keyFrameRequest();
        return GST_PAD_PROBE_OK;
    }

    static void controlMessage(GstWebRTCDataChannel*, gchar* text, gpointer data)
    {
        auto* self = static_cast<Pipeline*>(data);
        if (self->callbacks.controlMessage && text)
            self->callbacks.controlMessage(text);
    }
};

WebRtcSender::WebRtcSender(Callbacks callbacks) : pipeline_(std::make_unique<Pipeline>(std::move(callbacks))) {}

WebRtcSender::~WebRtcSender() { Pipeline::release(std::move(pipeline_)); }

void WebRtcSender::setAnswer(const std::string& sdp)
{
    GstSDPMessage* message = nullptr;
    if (gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK)
        return;
    GstWebRTCSessionDescription* answer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message);
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(pipeline_->rtc, "set-remote-description", answer, promise);
    gst_promise_interrupt(promise);
    gst_promise_unref(promise);
    gst_webrtc_session_description_free(answer);
}

void WebRtcSender::addCandidate(unsigned mline, const std::string& candidate)
{
    g_signal_emit_by_name(pipeline_->rtc, "add-ice-candidate", mline, candidate.c_str());
}

void WebRtcSender::push(const capture::EncodedVideoFrame& frame)
{
    // Annex B: the parameter sets of a key frame first, every NAL unit behind a start code.
    static constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
    std::vector<std::uint8_t> unit;
    unit.reserve(frame.sps.size() + frame.pps.size() + frame.data.size() + 8);
    for (const auto* set : {&frame.sps, &frame.pps}) {
        if (!set->empty()) {
            unit.insert(unit.end(), std::begin(startCode), std::end(startCode));
            unit.insert(unit.end(), set->begin(), set->end());
        }
    }
    for (std::size_t at = 0; at + 4 <= frame.data.size();) {
        const std::size_t length = (std::size_t(frame.data[at]) << 24) | (std::size_t(frame.data[at + 1]) << 16) |
                                   (std::size_t(frame.data[at + 2]) << 8) | frame.data[at + 3];
        at += 4;
        if (length > frame.data.size() - at)
            break;
        unit.insert(unit.end(), std::begin(startCode), std::end(startCode));
        unit.insert(unit.end(), frame.data.begin() + static_cast<std::ptrdiff_t>(at), frame.data.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    gst_app_src_push_buffer(GST_APP_SRC(pipeline_->source), gst_buffer_new_memdup(unit.data(), unit.size()));
}

}  // namespace kestrio::platform::web
