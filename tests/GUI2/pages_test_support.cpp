// The page tests' shared pieces.
#include "pages_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QListWidget>

box_answerer::box_answerer() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        auto* box = dynamic_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        texts.push_back(box->text());
        QMessageBox::StandardButton button = QMessageBox::NoButton;
        if (!answers.empty()) {
            button = answers.front();
            answers.pop_front();
        }
        if (button == QMessageBox::NoButton) {
            button = box->button(QMessageBox::Ok) != nullptr ? QMessageBox::Ok : QMessageBox::No;
        }
        box->button(button)->click();
    });
    timer_.start();
}

box_answerer::~box_answerer() = default;

void page_test::SetUp() {
    ASSERT_TRUE(tds_provider_registered);
    server = std::make_unique<tds_server>(
        std::vector<std::string>{std::string(GUI_FIXTURE_DIR) + "/pages.tds",
                                 std::string(GUI_FIXTURE_DIR) + "/pages_empty.tds",
                                 std::string(GUI_FIXTURE_DIR) + "/pages_binary.tds"});
    server->start();
}

void page_test::TearDown() {
    server->stop();
}

std::unique_ptr<velmora_convertor> page_test::converter() {
    auto c = std::make_unique<velmora_convertor>();
    c->tab_def = false;
    c->skip_idx = false;
    c->convert_views = false;
    c->mss_schema.clear();
    c->set_view_owned(false);
    c->set_as_dbo(true);
    c->selected_queries.clear();
    c->available_queries.clear();
    c->selected_views.clear();
    c->direct = true;
    c->mss->connect(L"127.0.0.1," + std::to_wstring(server->port()), L"sa", L"Velmora-Pw1", true);
    c->src = L"velmora_pages";
    return c;
}

QStringList items_of(const QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) {
        texts << list->item(i)->text();
    }
    return texts;
}
