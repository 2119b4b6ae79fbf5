// The stand-in hosted application: a small dialer that shows the commands
// the desktop client hands it.
function TorvaneAppWeb() {}
TorvaneAppWeb.commands = [];
TorvaneAppWeb.prototype.api = {
  commandJson2: function (command) {
    var received = { command: command, at: Date.now() };
    TorvaneAppWeb.commands.push(received);
    var item = document.createElement('li');
    item.textContent = new Date(received.at).toLocaleTimeString() + ' ' + JSON.stringify(command);
    document.getElementById('commands').appendChild(item);
    // Reported back to the stand-in, so that tests and benchmarks can see
    // what the page received and when.
    var report = new XMLHttpRequest();
    report.open('POST', '/record');
    report.send(JSON.stringify(received));
  }
};

function setStatus(text) {
  document.getElementById('status').textContent = text;
}

$(function () {
  $('.keypad button').click(function () {
    $('#number').val($('#number').val() + $(this).text());
  });
  $('#call').click(function () {
    var number = $('#number').val();
    setStatus(number ? 'Chamando ' + number + '... (demonstração, nenhuma chamada é feita)' : 'Digite um número');
  });
  $('#popup').click(function () {
    window.open('/popup.html', 'torvane-popup', 'width=320,height=240');
  });
  $('#microphone').click(function () {
    if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
      setStatus('Microfone indisponível');
      return;
    }
    navigator.mediaDevices.getUserMedia({ audio: true }).then(function (stream) {
      stream.getTracks().forEach(function (track) { track.stop(); });
      setStatus('Microfone liberado');
    }, function (error) {
      setStatus('Microfone: ' + error.name);
    });
  });
});
